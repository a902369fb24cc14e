// The service program's side of the manager: the dispatcher that runs the service main and hands it the
// controls, the control handler and the status report.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/service_records_posix.h"
#include "platform/services.h"

namespace platform {
namespace {

using posix::ServiceDatabaseLock;
using posix::ServiceRecord;

constexpr auto kPoll = std::chrono::milliseconds(2);

// The one service this process was started as.
struct ServiceSide {
  std::string name;
  std::string key;
  std::atomic<HandlerFunction> handler{nullptr};
  std::atomic<bool> stopped{false};
};

std::mutex g_side_mutex;
std::shared_ptr<ServiceSide> g_side;

std::shared_ptr<ServiceSide> current_side() {
  std::lock_guard<std::mutex> lock(g_side_mutex);
  return g_side;
}

// The argument block handed to the service main lives as long as the process: the main may outlast the
// dispatcher.
char** lasting_arguments(const std::vector<std::string>& arguments) {
  char** argv = new char*[arguments.size() + 1];
  for (size_t i = 0; i < arguments.size(); ++i) {
    argv[i] = strdup(arguments[i].c_str());
  }
  argv[arguments.size()] = nullptr;
  return argv;
}

// The next control for this process, if one waits; false when the service has stopped.
bool take_control(const ServiceSide& side, uint64_t* sequence, uint32_t* control) {
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (!posix::load_service(side.key, &record)) {
    return false;
  }
  if (record.pid != static_cast<uint32_t>(getpid()) || record.status.current_state == SERVICE_STOPPED) {
    return false;
  }
  *sequence = record.control_sequence > record.answered_sequence ? record.control_sequence : 0;
  *control = record.control_code;
  return true;
}

void answer_control(const ServiceSide& side, uint64_t sequence) {
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (posix::load_service(side.key, &record) && record.pid == static_cast<uint32_t>(getpid())) {
    record.answered_sequence = sequence;
    posix::save_service(record);
  }
}

}  // namespace

bool start_service_ctrl_dispatcher(const ServiceTableEntry* table) {
  const char* name = std::getenv("ZANTHO_SERVICE_NAME");
  if (!table || !table[0].service_main) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!name || current_side()) {
    set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  auto side = std::make_shared<ServiceSide>();
  side->name = name;
  side->key = posix::service_key(name);
  std::vector<std::string> arguments;
  {
    ServiceDatabaseLock lock;
    ServiceRecord record;
    if (!posix::load_service(side->key, &record) || record.pid != static_cast<uint32_t>(getpid())) {
      set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return false;
    }
    record.connected = true;
    arguments = record.start_arguments;
    if (arguments.empty()) {
      arguments.push_back(record.name);
    }
    posix::save_service(record);
  }
  {
    std::lock_guard<std::mutex> lock(g_side_mutex);
    g_side = side;
  }
  // An own-process service runs the table's first main whatever name it is listed under.
  ServiceMainFunction service_main = table[0].service_main;
  for (const ServiceTableEntry* entry = table; entry->service_main; ++entry) {
    if (entry->service_name && posix::same_service_name(entry->service_name, side->name)) {
      service_main = entry->service_main;
    }
  }
  uint32_t argc = static_cast<uint32_t>(arguments.size());
  char** argv = lasting_arguments(arguments);
  std::thread main_thread([service_main, argc, argv] { service_main(argc, argv); });
  for (;;) {
    uint64_t sequence = 0;
    uint32_t control = 0;
    if (!take_control(*side, &sequence, &control)) {
      break;
    }
    if (sequence != 0) {
      if (HandlerFunction handler = side->handler.load()) {
        handler(control);
      }
      answer_control(*side, sequence);
    }
    std::this_thread::sleep_for(kPoll);
  }
  // A main still busy after the service reported stopped goes down with the process.
  main_thread.detach();
  set_last_error(ERROR_SUCCESS);
  return true;
}

ServiceStatusHandle register_service_ctrl_handler(const char* service_name, HandlerFunction handler) {
  std::shared_ptr<ServiceSide> side = current_side();
  if (!side || !service_name || !posix::same_service_name(service_name, side->name)) {
    set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return nullptr;
  }
  side->handler.store(handler);
  return side.get();
}

bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status) {
  std::shared_ptr<ServiceSide> side = current_side();
  if (!side || handle != side.get()) {
    set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!status || status->current_state < SERVICE_STOPPED || status->current_state > SERVICE_PAUSED) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  ServiceDatabaseLock lock;
  ServiceRecord record;
  if (!posix::load_service(side->key, &record) || record.pid != static_cast<uint32_t>(getpid())) {
    set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  record.status = *status;
  record.status.service_type = record.service_type;
  if (!posix::save_service(record)) {
    set_last_error(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

}  // namespace platform
