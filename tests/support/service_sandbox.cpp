#include "tests/support/service_sandbox.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform/sync.h"
#include "tests/support/child_process.h"

namespace fs = std::filesystem;

namespace {

uint32_t process_of(const char* name, uint32_t* state) {
  platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
  platform::ScHandle service = platform::open_service(manager, name, platform::SERVICE_QUERY_STATUS);
  platform::ServiceStatusProcess status{};
  uint32_t needed = 0;
  bool known = platform::query_service_status_ex(service, platform::SC_STATUS_PROCESS_INFO, &status, sizeof status,
                                                 &needed);
  platform::close_service_handle(service);
  platform::close_service_handle(manager);
  *state = known ? status.current_state : 0;
  return known ? status.process_id : 0;
}

template <typename Predicate>
bool wait_until(Predicate done, uint32_t timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

fs::path client_service_program() { return build_dir() / "standins" / "ZanthoClientService.exe"; }

ServiceSandbox::ServiceSandbox(const std::string& program_dir_name) {
  program_dir_ = scratch_.path() / program_dir_name;  // UTF-8 bytes, as this system names files
  fs::create_directories(program_dir_);
  platform_dir_ = std::make_unique<ScopedPlatformDir>(scratch_ / "state");
}

ServiceSandbox::~ServiceSandbox() {
  // Waits below must run on the real clock.
  platform::use_test_clock(false);
  // A machine's service manager outlives the test: what the test registered must not meet the next one.
  for (const char* name : {kClientHelperName, kClientServiceName}) {
    remove(name);
  }
}

std::string ServiceSandbox::quoted_program() const {
  std::string path = program().string();
  return "\"" + path + "\"";
}

void ServiceSandbox::add_program() const {
  fs::copy_file(client_service_program(), program(), fs::copy_options::overwrite_existing);
}

void ServiceSandbox::set_options(const std::string& lines) const {
  std::ofstream out(program_dir_ / "service_options.txt", std::ios::binary | std::ios::trunc);
  out << lines;
}

bool ServiceSandbox::install() const { return run_program({utf8_path(program()), "install"}) == 0; }

std::string ServiceSandbox::log() const {
  std::ifstream in(program_dir_ / "service_log.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ServiceSandbox::wait_for_log(const std::string& text, uint32_t timeout_ms) const {
  return wait_until([&] { return log().find(text) != std::string::npos; }, timeout_ms);
}

uint32_t ServiceSandbox::state(const char* name) const {
  uint32_t state = 0;
  process_of(name, &state);
  return state;
}

bool ServiceSandbox::wait_for_state(const char* name, uint32_t state, uint32_t timeout_ms) const {
  return wait_until([&] { return this->state(name) == state; }, timeout_ms);
}

bool ServiceSandbox::start(const char* name, uint32_t argc, const char** argv) const {
  platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
  platform::ScHandle service = platform::open_service(manager, name, platform::SERVICE_START);
  bool started = platform::start_service(service, argc, argv);
  platform::close_service_handle(service);
  platform::close_service_handle(manager);
  return started;
}

bool ServiceSandbox::kill(const char* name) const {
  uint32_t state = 0;
  uint32_t pid = process_of(name, &state);
  if (pid == 0) {
    return false;
  }
  platform::Handle process = platform::open_process(pid);
  if (!process) {
    return false;
  }
  bool killed = platform::terminate_process(process, 1) &&
                platform::wait_for_single_object(process, 10000) == platform::WAIT_OBJECT_0;
  platform::close_handle(process);
  // The manager reads the end from the process's waiter, which needs a moment to record it.
  return killed && wait_for_state(name, platform::SERVICE_STOPPED, 5000);
}

bool ServiceSandbox::remove(const char* name) const {
  kill(name);
  platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_ALL_ACCESS);
  platform::ScHandle service = platform::open_service(manager, name, platform::DELETE);
  platform::delete_service(service);
  platform::close_service_handle(service);
  // A deleted service stays, marked for deletion, until its last handle is closed and its process has ended.
  bool gone = wait_until(
      [&] {
        platform::ScHandle still = platform::open_service(manager, name, platform::SERVICE_QUERY_STATUS);
        bool missing = !still && platform::last_error() == platform::ERROR_SERVICE_DOES_NOT_EXIST;
        platform::close_service_handle(still);
        return missing;
      },
      10000);
  platform::close_service_handle(manager);
  return gone;
}
