// Stand-in of the client's service program. With "install" it creates the service "Zantho Client Service"
// (pointing at itself) and sets the event of that name; started by the manager it runs as a service.
// Its behaviour comes from service_options.txt beside it: lines "option=value" for every service, or
// "Service Name/option=value" for one. What happened is appended to service_log.txt beside it (at a service's start,
// "image <size>" of the file it runs from).
//
// Options: start_steps (pending check points before running, 2), step_ms (time between them, 50),
// start_hint (wait hint while starting, 1000), stall (stay at check point 1), stop_ms (time in stop-pending,
// 0), stop_hint (wait hint while stopping, 100), stop_stall (stay stop-pending), ignore_stop (the handler does
// nothing), bounce_stops (that many stops end in running again), exit_code (reported when stopped),
// no_event (install leaves the event alone), install_delay_ms (before install sets the event),
// dependant (install also creates that service, depending on "Zantho Client Service").
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform/sync.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

const char kServiceName[] = "Zantho Client Service";
// A stray service of a failed test goes away by itself.
constexpr auto kLifetime = std::chrono::seconds(120);

fs::path g_self;
fs::path g_dir;
std::map<std::string, std::string> g_options;
std::mutex g_log_mutex;

std::string g_service;
ServiceStatusHandle g_status_handle = nullptr;
std::atomic<int> g_bounces_left{0};
std::mutex g_stop_mutex;
std::condition_variable g_stop_signal;
bool g_stopped = false;

void load_options() {
  std::ifstream in(g_dir / "service_options.txt");
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals != std::string::npos) {
      g_options[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
}

std::string option(const std::string& key, const std::string& fallback = "") {
  auto own = g_options.find(g_service + "/" + key);
  if (own != g_options.end()) {
    return own->second;
  }
  auto shared = g_options.find(key);
  return shared != g_options.end() ? shared->second : fallback;
}

uint32_t number(const std::string& key, uint32_t fallback) {
  std::string value = option(key);
  return value.empty() ? fallback : static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
}

void log_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::ofstream out(g_dir / "service_log.txt", std::ios::app | std::ios::binary);
  out << line << '\n';
}

void pause_ms(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void report(uint32_t state, uint32_t check_point, uint32_t wait_hint, uint32_t exit_code = 0) {
  uint32_t accepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  if (state == SERVICE_RUNNING) {
    wait_hint = number("running_hint", 0);
  }
  ServiceStatus status{SERVICE_WIN32_OWN_PROCESS, state, accepted, exit_code, 0, check_point, wait_hint};
  set_service_status(g_status_handle, &status);
}

void finish_stop() {
  pause_ms(number("stop_ms", 0));
  if (g_bounces_left.fetch_sub(1) > 0) {
    report(SERVICE_RUNNING, 0, 0);
    log_line("running again " + g_service);
    return;
  }
  // Stopped is reported here, so that a stop without delay is complete when the control returns.
  log_line("stopped " + g_service);
  report(SERVICE_STOPPED, 0, 0, number("exit_code", 0));
  std::lock_guard<std::mutex> lock(g_stop_mutex);
  g_stopped = true;
  g_stop_signal.notify_all();
}

void handler(uint32_t control) {
  log_line("control " + g_service + " " + std::to_string(control));
  if (control != SERVICE_CONTROL_STOP || option("ignore_stop") == "1") {
    return;
  }
  // Stop-pending is in place before the control returns; the rest happens on its own thread.
  report(SERVICE_STOP_PENDING, 1, number("stop_hint", 100));
  if (option("stop_stall") == "1") {
    return;
  }
  if (number("stop_ms", 0) == 0 && g_bounces_left.load() <= 0) {
    finish_stop();
    return;
  }
  std::thread(finish_stop).detach();
}

void service_main(uint32_t argc, char** argv) {
  g_service = argc > 0 ? argv[0] : kServiceName;
  g_bounces_left = static_cast<int>(number("bounce_stops", 0));
  g_status_handle = register_service_ctrl_handler(g_service.c_str(), handler);
  std::string line = "start|" + g_service;
  for (uint32_t i = 1; i < argc; ++i) {
    line += std::string("|") + argv[i];
  }
  log_line(line);
  // Which program the service runs from: a test tells an updated one by its size.
  std::error_code error;
  log_line("image " + std::to_string(fs::file_size(g_self, error)));
  uint32_t hint = number("start_hint", 1000);
  uint32_t steps = number("start_steps", 2);
  uint32_t step_ms = number("step_ms", 50);
  report(SERVICE_START_PENDING, 1, hint);
  if (option("stall") == "1") {
    pause_ms(static_cast<uint32_t>(std::chrono::milliseconds(kLifetime).count()));
  }
  for (uint32_t check_point = 2; check_point <= steps; ++check_point) {
    pause_ms(step_ms);
    report(SERVICE_START_PENDING, check_point, hint);
  }
  pause_ms(step_ms);
  report(SERVICE_RUNNING, 0, 0);
  log_line("running " + g_service);
  std::unique_lock<std::mutex> lock(g_stop_mutex);
  g_stop_signal.wait(lock, [] { return g_stopped; });
}

ScHandle create_or_point_at_self(ScHandle manager, const std::string& name, const std::string& binary,
                                 const char* dependencies) {
  ScHandle service = create_service(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr);
  if (!service && last_error() == ERROR_SERVICE_EXISTS) {
    service = open_service(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service) {
      change_service_config(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, binary.c_str(),
                            nullptr, nullptr, dependencies, nullptr, nullptr, nullptr);
    }
  }
  return service;
}

// The service pointing at this program, and the dependant when one is asked for; 0 on success.
// Paths reach the layer as UTF-8; a plain string() would be in Windows' ANSI code page.
std::string utf8(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

int register_services(const fs::path& self) {
  ScHandle manager = open_sc_manager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    return static_cast<int>(last_error());
  }
  std::string binary = "\"" + utf8(self) + "\"";
  ScHandle service = create_or_point_at_self(manager, kServiceName, binary, nullptr);
  int result = service ? 0 : static_cast<int>(last_error());
  close_service_handle(service);
  std::string dependant = option("dependant");
  if (!dependant.empty()) {
    std::string list = std::string(kServiceName) + '\0';
    close_service_handle(create_or_point_at_self(manager, dependant, binary, list.c_str()));
  }
  close_service_handle(manager);
  return result;
}

int install(const fs::path& self, int argc, char** argv) {
  std::string line = "install|cwd=" + utf8(fs::current_path());
  for (int i = 1; i < argc; ++i) {
    line += std::string("|") + argv[i];
  }
  log_line(line);
  int result = 0;
  if (option("skip_install") == "1") {
    log_line("installed nothing");
  } else {
    result = register_services(self);
    log_line("installed " + std::to_string(result));
  }
  if (option("no_event") != "1") {
    pause_ms(number("install_delay_ms", 0));
    Handle event = create_event(kServiceName, true, false);
    set_event(event);
    close_handle(event);
  }
  return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // From the module, not argv[0], whose narrow text cannot hold every name on Windows.
  char16_t module[32768];
  uint32_t length = get_module_file_name(module, 32768);
  fs::path self = length > 0 && length < 32768 ? fs::path(std::u16string(module, length)) : fs::absolute(argv[0]);
  g_self = self;
  g_dir = self.parent_path();
  load_options();
  if (argc > 1 && std::string(argv[1]) == "install") {
    return install(self, argc, argv);
  }
  std::thread([] {
    std::this_thread::sleep_for(kLifetime);
    std::_Exit(3);
  }).detach();
  ServiceTableEntry table[] = {{kServiceName, service_main}, {nullptr, nullptr}};
  if (!start_service_ctrl_dispatcher(table)) {
    log_line("not started as a service " + std::to_string(last_error()));
    return 1;
  }
  return 0;
}
