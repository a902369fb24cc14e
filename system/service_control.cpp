#include "system/service_control.h"

#include <cstdio>
#include <cstdlib>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kStartAccess = platform::SERVICE_START | platform::SERVICE_QUERY_STATUS;
constexpr uint32_t kStopAccess =
    platform::SERVICE_STOP | platform::SERVICE_QUERY_STATUS | platform::SERVICE_ENUMERATE_DEPENDENTS;
constexpr uint32_t kDependantAccess = platform::SERVICE_STOP | platform::SERVICE_QUERY_STATUS;
constexpr uint64_t kStopBudgetMs = 30000;
constexpr uint32_t kDependantsBudgetMs = 30000;

int last_error() { return static_cast<int>(platform::last_error()); }

bool query_status(platform::ScHandle service, platform::ServiceStatusProcess* status) {
  uint32_t bytes_needed = 0;
  return platform::query_service_status_ex(service, platform::SC_STATUS_PROCESS_INFO, status, sizeof *status,
                                           &bytes_needed);
}

// The stop control writes only the leading part of the record it shares with the status query.
bool send_stop(platform::ScHandle service, platform::ServiceStatusProcess* status) {
  platform::ServiceStatus control_status{};
  if (!platform::control_service(service, platform::SERVICE_CONTROL_STOP, &control_status)) {
    return false;
  }
  status->service_type = control_status.service_type;
  status->current_state = control_status.current_state;
  status->controls_accepted = control_status.controls_accepted;
  status->win32_exit_code = control_status.win32_exit_code;
  status->service_specific_exit_code = control_status.service_specific_exit_code;
  status->check_point = control_status.check_point;
  status->wait_hint = control_status.wait_hint;
  return true;
}

void close_both(platform::ScHandle service, platform::ScHandle manager) {
  platform::close_service_handle(service);
  platform::close_service_handle(manager);
}

// Opens the local manager and the service and reads its status; false after the failure line, nothing left open.
bool open_and_query(const char* service_name, uint32_t access, platform::ScHandle* manager,
                    platform::ScHandle* service, platform::ServiceStatusProcess* status) {
  *manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
  if (!*manager) {
    std::printf("OpenSCManager failed (%d)\n", last_error());
    return false;
  }
  *service = platform::open_service(*manager, service_name, access);
  if (!*service) {
    std::printf("OpenService failed (%d)\n", last_error());
    platform::close_service_handle(*manager);
    return false;
  }
  if (!query_status(*service, status)) {
    std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
    close_both(*service, *manager);
    return false;
  }
  return true;
}

// The progress rule of a pending wait: an advancing check point restarts the timer; true once no progress
// was seen for longer than the wait hint.
bool no_progress(const platform::ServiceStatusProcess& status, uint32_t* start_tick, uint32_t* old_check_point) {
  if (status.check_point > *old_check_point) {
    *start_tick = platform::tick_count();
    *old_check_point = status.check_point;
    return false;
  }
  return platform::tick_count() - *start_tick > status.wait_hint;
}

}  // namespace

uint32_t pending_wait_sleep_ms(uint32_t wait_hint) {
  uint32_t wait = wait_hint / 10;
  if (wait < 1000) {
    return 1000;
  }
  return wait > 10000 ? 10000 : wait;
}

void start_service(const char* service_name, uint32_t argc, const char** argv) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  platform::ServiceStatusProcess status{};
  if (!open_and_query(service_name, kStartAccess, &manager, &service, &status)) {
    return;
  }
  if (status.current_state != platform::SERVICE_STOPPED && status.current_state != platform::SERVICE_STOP_PENDING) {
    std::printf("Cannot start the service because it is already running\n");
    close_both(service, manager);
    return;
  }
  uint32_t start_tick = platform::tick_count();
  uint32_t old_check_point = status.check_point;
  while (status.current_state == platform::SERVICE_STOP_PENDING) {
    platform::sleep_ms(pending_wait_sleep_ms(status.wait_hint));
    if (!query_status(service, &status)) {
      std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
      close_both(service, manager);
      return;
    }
    // A service that has stopped meanwhile reports no check point and no hint: that is not a time-out.
    if (status.current_state == platform::SERVICE_STOP_PENDING && no_progress(status, &start_tick, &old_check_point)) {
      std::printf("Timeout waiting for service to stop\n");
      close_both(service, manager);
      return;
    }
  }
  if (!platform::start_service(service, argc, argv)) {
    std::printf("StartService failed (%d)\n", last_error());
    close_both(service, manager);
    return;
  }
  std::printf("Service start pending...\n");
  if (!query_status(service, &status)) {
    std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
    close_both(service, manager);
    return;
  }
  start_tick = platform::tick_count();
  old_check_point = status.check_point;
  while (status.current_state == platform::SERVICE_START_PENDING) {
    platform::sleep_ms(pending_wait_sleep_ms(status.wait_hint));
    if (!query_status(service, &status)) {
      std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
      break;
    }
    if (no_progress(status, &start_tick, &old_check_point)) {
      break;
    }
  }
  if (status.current_state == platform::SERVICE_RUNNING) {
    std::printf("Service started successfully.\n");
  } else {
    std::printf("Service not started. \n");
    std::printf("  Current State: %d\n", static_cast<int>(status.current_state));
    std::printf("  Exit Code: %d\n", static_cast<int>(status.win32_exit_code));
    std::printf("  Check Point: %d\n", static_cast<int>(status.check_point));
    std::printf("  Wait Hint: %d\n", static_cast<int>(status.wait_hint));
  }
  close_both(service, manager);
}

void stop_service(const char* service_name) {
  uint64_t start_time = platform::tick_count64();
  auto budget_exceeded = [start_time] { return platform::tick_count64() - start_time > kStopBudgetMs; };
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  platform::ServiceStatusProcess status{};
  if (!open_and_query(service_name, kStopAccess, &manager, &service, &status)) {
    return;
  }
  if (status.current_state == platform::SERVICE_STOPPED) {
    std::printf("Service is already stopped.\n");
    close_both(service, manager);
    return;
  }
  while (status.current_state == platform::SERVICE_STOP_PENDING) {
    std::printf("Service stop pending...\n");
    platform::sleep_ms(pending_wait_sleep_ms(status.wait_hint));
    if (!query_status(service, &status)) {
      std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
      close_both(service, manager);
      return;
    }
    if (status.current_state == platform::SERVICE_STOPPED) {
      std::printf("Service stopped successfully.\n");
      close_both(service, manager);
      return;
    }
    if (budget_exceeded()) {
      std::printf("Service stop timed out.\n");
      close_both(service, manager);
      return;
    }
  }
  stop_dependent_services(manager, service);
  if (!send_stop(service, &status)) {
    std::printf("ControlService failed (%d)\n", last_error());
    close_both(service, manager);
    return;
  }
  while (status.current_state != platform::SERVICE_STOPPED) {
    platform::sleep_ms(status.wait_hint);
    if (!query_status(service, &status)) {
      std::printf("QueryServiceStatusEx failed (%d)\n", last_error());
      close_both(service, manager);
      return;
    }
    if (status.current_state == platform::SERVICE_STOPPED) {
      break;
    }
    if (budget_exceeded()) {
      std::printf("Wait timed out\n");
      close_both(service, manager);
      return;
    }
  }
  std::printf("Service stopped successfully\n");
  close_both(service, manager);
}

bool stop_dependent_services(platform::ScHandle manager, platform::ScHandle service) {
  uint32_t start_time = platform::tick_count();
  uint32_t bytes_needed = 0;
  uint32_t count = 0;
  if (platform::enum_dependent_services(service, platform::SERVICE_ACTIVE, nullptr, 0, &bytes_needed, &count)) {
    return true;
  }
  if (platform::last_error() != platform::ERROR_MORE_DATA) {
    return false;
  }
  auto* dependants = static_cast<platform::EnumServiceStatus*>(std::calloc(1, bytes_needed));
  if (!dependants) {
    return false;
  }
  if (!platform::enum_dependent_services(service, platform::SERVICE_ACTIVE, dependants, bytes_needed,
                                         &bytes_needed, &count)) {
    std::free(dependants);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    platform::ScHandle dependant = platform::open_service(manager, dependants[i].service_name, kDependantAccess);
    if (!dependant) {
      std::free(dependants);
      return false;
    }
    platform::ServiceStatusProcess status{};
    if (!send_stop(dependant, &status)) {
      platform::close_service_handle(dependant);
      std::free(dependants);
      return false;
    }
    while (status.current_state != platform::SERVICE_STOPPED) {
      platform::sleep_ms(status.wait_hint);
      if (!query_status(dependant, &status)) {
        platform::close_service_handle(dependant);
        std::free(dependants);
        return false;
      }
      if (status.current_state == platform::SERVICE_STOPPED) {
        break;
      }
      if (platform::tick_count() - start_time > kDependantsBudgetMs) {
        platform::close_service_handle(dependant);
        std::free(dependants);
        return false;
      }
    }
    platform::close_service_handle(dependant);
  }
  std::free(dependants);
  return true;
}
