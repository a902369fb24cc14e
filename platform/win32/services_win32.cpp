#include "platform/services.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/win32/windows_api.h"

// The layer's records have the layout of Advapi32's own (SERVICE_STATUS, ENUM_SERVICE_STATUSA,
// QUERY_SERVICE_CONFIGA, SERVICE_DESCRIPTIONA), so the buffers pass through untouched.
static_assert(sizeof(platform::ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(sizeof(platform::ServiceStatusProcess) == sizeof(SERVICE_STATUS_PROCESS));
static_assert(sizeof(platform::EnumServiceStatus) == sizeof(ENUM_SERVICE_STATUSA));
static_assert(offsetof(platform::EnumServiceStatus, status) == offsetof(ENUM_SERVICE_STATUSA, ServiceStatus));
static_assert(sizeof(platform::QueryServiceConfig) == sizeof(QUERY_SERVICE_CONFIGA));
static_assert(offsetof(platform::QueryServiceConfig, display_name) == offsetof(QUERY_SERVICE_CONFIGA, lpDisplayName));
static_assert(sizeof(platform::ServiceDescription) == sizeof(SERVICE_DESCRIPTIONA));

namespace platform {
namespace {

SC_HANDLE native(ScHandle handle) { return static_cast<SC_HANDLE>(handle); }

// One service per process: the program's own handler and main, reached through functions of Advapi32's
// calling convention.
std::atomic<HandlerFunction> g_handler{nullptr};
std::atomic<ServiceMainFunction> g_service_main{nullptr};

void WINAPI handler_trampoline(DWORD control) {
  if (HandlerFunction handler = g_handler.load()) {
    handler(control);
  }
}

void WINAPI service_main_trampoline(DWORD argc, LPSTR* argv) {
  if (ServiceMainFunction service_main = g_service_main.load()) {
    service_main(argc, argv);
  }
}

}  // namespace

ScHandle open_sc_manager(const char* machine, const char* database, uint32_t access) {
  return OpenSCManagerA(machine, database, access);
}

ScHandle open_service(ScHandle manager, const char* service_name, uint32_t access) {
  return OpenServiceA(native(manager), service_name, access);
}

bool close_service_handle(ScHandle handle) { return CloseServiceHandle(native(handle)) != FALSE; }

bool query_service_status_ex(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed) {
  DWORD needed = 0;
  BOOL ok = QueryServiceStatusEx(native(service), static_cast<SC_STATUS_TYPE>(level), static_cast<BYTE*>(buffer),
                                 size, &needed);
  if (bytes_needed) {
    *bytes_needed = needed;
  }
  return ok != FALSE;
}

bool start_service(ScHandle service, uint32_t argc, const char** argv) {
  return StartServiceA(native(service), argc, argv) != FALSE;
}

bool control_service(ScHandle service, uint32_t control, ServiceStatus* status) {
  return ControlService(native(service), control, reinterpret_cast<SERVICE_STATUS*>(status)) != FALSE;
}

bool enum_dependent_services(ScHandle service, uint32_t state, EnumServiceStatus* services, uint32_t size,
                             uint32_t* bytes_needed, uint32_t* count) {
  DWORD needed = 0;
  DWORD returned = 0;
  BOOL ok = EnumDependentServicesA(native(service), state, reinterpret_cast<ENUM_SERVICE_STATUSA*>(services), size,
                                   &needed, &returned);
  if (bytes_needed) {
    *bytes_needed = needed;
  }
  if (count) {
    *count = returned;
  }
  return ok != FALSE;
}

ScHandle create_service(ScHandle manager, const char* service_name, const char* display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                        const char* dependencies, const char* service_start_name, const char* password) {
  DWORD tag = 0;
  SC_HANDLE service = CreateServiceA(native(manager), service_name, display_name, access, service_type, start_type,
                                     error_control, binary_path_name, load_order_group, tag_id ? &tag : nullptr,
                                     dependencies, service_start_name, password);
  if (service && tag_id) {
    *tag_id = tag;
  }
  return service;
}

bool delete_service(ScHandle service) { return DeleteService(native(service)) != FALSE; }

bool change_service_config(ScHandle service, uint32_t service_type, uint32_t start_type, uint32_t error_control,
                           const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                           const char* dependencies, const char* service_start_name, const char* password,
                           const char* display_name) {
  DWORD tag = 0;
  BOOL ok = ChangeServiceConfigA(native(service), service_type, start_type, error_control, binary_path_name,
                                 load_order_group, tag_id ? &tag : nullptr, dependencies, service_start_name,
                                 password, display_name);
  if (ok && tag_id) {
    *tag_id = tag;
  }
  return ok != FALSE;
}

bool change_service_config2(ScHandle service, uint32_t level, const void* info) {
  return ChangeServiceConfig2A(native(service), level, const_cast<void*>(info)) != FALSE;
}

bool query_service_config(ScHandle service, QueryServiceConfig* config, uint32_t size, uint32_t* bytes_needed) {
  DWORD needed = 0;
  BOOL ok = QueryServiceConfigA(native(service), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config), size, &needed);
  if (bytes_needed) {
    *bytes_needed = needed;
  }
  return ok != FALSE;
}

bool query_service_config2(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed) {
  DWORD needed = 0;
  BOOL ok = QueryServiceConfig2A(native(service), level, static_cast<BYTE*>(buffer), size, &needed);
  if (bytes_needed) {
    *bytes_needed = needed;
  }
  return ok != FALSE;
}

bool start_service_ctrl_dispatcher(const ServiceTableEntry* table) {
  if (!table || !table[0].service_name || !table[0].service_main) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // An own-process service: the first entry is the one the manager starts.
  g_service_main.store(table[0].service_main);
  SERVICE_TABLE_ENTRYA native_table[] = {{const_cast<char*>(table[0].service_name), service_main_trampoline},
                                         {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(native_table) != FALSE;
}

ServiceStatusHandle register_service_ctrl_handler(const char* service_name, HandlerFunction handler) {
  g_handler.store(handler);
  return RegisterServiceCtrlHandlerA(service_name, handler_trampoline);
}

bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status) {
  SERVICE_STATUS native_status;
  static_assert(sizeof native_status == sizeof *status);
  std::memcpy(&native_status, status, sizeof native_status);
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &native_status) != FALSE;
}

}  // namespace platform
