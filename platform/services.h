// The service control manager (Advapi32): service records, their processes and access descriptors,
// the controller's calls, the service program's side (dispatcher, control handler, status) and the ACL helpers.
#pragma once

#include <cstdint>

namespace platform {

// SC_HANDLE of the manager or of one service; null on failure.
using ScHandle = void*;

// Manager access.
inline constexpr uint32_t SC_MANAGER_CONNECT = 0x1;
inline constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x2;
inline constexpr uint32_t SC_MANAGER_ENUMERATE_SERVICE = 0x4;
inline constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;

// Service access.
inline constexpr uint32_t SERVICE_QUERY_CONFIG = 0x1;
inline constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x2;
inline constexpr uint32_t SERVICE_QUERY_STATUS = 0x4;
inline constexpr uint32_t SERVICE_ENUMERATE_DEPENDENTS = 0x8;
inline constexpr uint32_t SERVICE_START = 0x10;
inline constexpr uint32_t SERVICE_STOP = 0x20;
inline constexpr uint32_t SERVICE_PAUSE_CONTINUE = 0x40;
inline constexpr uint32_t SERVICE_INTERROGATE = 0x80;
inline constexpr uint32_t SERVICE_USER_DEFINED_CONTROL = 0x100;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr uint32_t DELETE = 0x10000;
inline constexpr uint32_t READ_CONTROL = 0x20000;
inline constexpr uint32_t WRITE_DAC = 0x40000;
inline constexpr uint32_t WRITE_OWNER = 0x80000;

// Types, start types, error control.
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr uint32_t SERVICE_BOOT_START = 0;
inline constexpr uint32_t SERVICE_SYSTEM_START = 1;
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_IGNORE = 0;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
inline constexpr uint32_t SERVICE_ERROR_SEVERE = 2;
inline constexpr uint32_t SERVICE_ERROR_CRITICAL = 3;
inline constexpr uint32_t SERVICE_NO_CHANGE = 0xFFFFFFFF;

// States.
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;

// Controls and what a service accepts.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;

// Enumeration filter, status level, configuration level.
inline constexpr uint32_t SERVICE_ACTIVE = 1;
inline constexpr uint32_t SERVICE_INACTIVE = 2;
inline constexpr uint32_t SERVICE_STATE_ALL = 3;
inline constexpr uint32_t SC_STATUS_PROCESS_INFO = 0;
inline constexpr uint32_t SERVICE_CONFIG_DESCRIPTION = 1;

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t service_type;
  uint32_t current_state;
  uint32_t controls_accepted;
  uint32_t win32_exit_code;
  uint32_t service_specific_exit_code;
  uint32_t check_point;
  uint32_t wait_hint;
};

// SERVICE_STATUS_PROCESS (36 bytes): SERVICE_STATUS, then the process id and flags.
struct ServiceStatusProcess {
  uint32_t service_type;
  uint32_t current_state;
  uint32_t controls_accepted;
  uint32_t win32_exit_code;
  uint32_t service_specific_exit_code;
  uint32_t check_point;
  uint32_t wait_hint;
  uint32_t process_id;
  uint32_t service_flags;
};

// ENUM_SERVICE_STATUSA; the names point into the caller's buffer, after the entries.
struct EnumServiceStatus {
  char* service_name;
  char* display_name;
  ServiceStatus status;
};

// QUERY_SERVICE_CONFIGA; the texts point into the caller's buffer. dependencies is a list of
// names, each ended by a terminator, the list by one more.
struct QueryServiceConfig {
  uint32_t service_type;
  uint32_t start_type;
  uint32_t error_control;
  char* binary_path_name;
  char* load_order_group;
  uint32_t tag_id;
  char* dependencies;
  char* service_start_name;
  char* display_name;
};

// SERVICE_DESCRIPTIONA; setting a null description leaves it, an empty one removes it.
struct ServiceDescription {
  char* description;
};

// The controller's side. Every call sets last_error() when it fails, with Windows' numbers:
// 5 access not granted by the handle, 6 not a handle of the right kind, 87 a bad argument,
// 122 buffer too small (probe: size 0), 123 a bad name, 234 more data (enumeration probe),
// 1052 control not accepted, 1053 the program did not answer, 1056 already running, 1058 disabled,
// 1060 no such service, 1061 the service cannot take controls now, 1062 not active,
// 1072 marked for deletion, 1073 exists already.

// Only the local machine's default database: machine and database must be null.
ScHandle open_sc_manager(const char* machine, const char* database, uint32_t access);
ScHandle open_service(ScHandle manager, const char* service_name, uint32_t access);
bool close_service_handle(ScHandle handle);

bool query_service_status_ex(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed);

// Runs the service's binary path detached; the arguments reach its service main after its name.
// Stopped dependencies are started first.
bool start_service(ScHandle service, uint32_t argc, const char** argv);

// Delivers the control to the service's handler and returns the status as it stands after the handler.
bool control_service(ScHandle service, uint32_t control, ServiceStatus* status);

// The services that depend on this one, directly or further down, those deepest down first.
bool enum_dependent_services(ScHandle service, uint32_t state, EnumServiceStatus* services, uint32_t size,
                             uint32_t* bytes_needed, uint32_t* count);

// The service runs as the local system whatever account is given here.
ScHandle create_service(ScHandle manager, const char* service_name, const char* display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                        const char* dependencies, const char* service_start_name, const char* password);

// Marks the service for deletion; its record goes once the service is stopped.
bool delete_service(ScHandle service);

// SERVICE_NO_CHANGE and null leave a value as it is.
bool change_service_config(ScHandle service, uint32_t service_type, uint32_t start_type, uint32_t error_control,
                           const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                           const char* dependencies, const char* service_start_name, const char* password,
                           const char* display_name);
bool change_service_config2(ScHandle service, uint32_t level, const void* info);

bool query_service_config(ScHandle service, QueryServiceConfig* config, uint32_t size, uint32_t* bytes_needed);
bool query_service_config2(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed);

// Access descriptors.
inline constexpr uint32_t DACL_SECURITY_INFORMATION = 0x4;
inline constexpr uint32_t SDDL_REVISION_1 = 1;
inline constexpr uint32_t SECURITY_DESCRIPTOR_REVISION = 1;

// An access control list; opaque, read and built only through the calls below.
struct Acl;

// SECURITY_DESCRIPTOR in absolute form, to be filled by initialize_security_descriptor. Descriptors
// given out by the layer (queried, converted) are self-relative blocks; every call taking a descriptor
// accepts both forms.
struct SecurityDescriptor {
  uint8_t revision;
  uint8_t reserved;
  uint16_t control;
  Acl* dacl;
};

bool query_service_object_security(ScHandle service, uint32_t information, void* descriptor, uint32_t size,
                                   uint32_t* bytes_needed);
bool set_service_object_security(ScHandle service, uint32_t information, const void* descriptor);

// The descriptor is a self-relative block to be released with local_free.
bool convert_string_security_descriptor_to_security_descriptor(const char16_t* sddl, uint32_t revision,
                                                               void** descriptor, uint32_t* size);
// The DACL part of the descriptor as SDDL text ("D:" and its entries), released with local_free.
bool convert_security_descriptor_to_string_security_descriptor(const void* descriptor, uint32_t revision,
                                                               uint32_t information, char16_t** sddl,
                                                               uint32_t* length);
bool get_security_descriptor_dacl(const void* descriptor, bool* dacl_present, Acl** dacl, bool* dacl_defaulted);
bool initialize_security_descriptor(SecurityDescriptor* descriptor, uint32_t revision);
bool set_security_descriptor_dacl(SecurityDescriptor* descriptor, bool dacl_present, Acl* dacl,
                                  bool dacl_defaulted);

// EXPLICIT_ACCESS with a named trustee.
inline constexpr uint32_t NOT_USED_ACCESS = 0;
inline constexpr uint32_t GRANT_ACCESS = 1;
inline constexpr uint32_t SET_ACCESS = 2;
inline constexpr uint32_t DENY_ACCESS = 3;
inline constexpr uint32_t REVOKE_ACCESS = 4;
inline constexpr uint32_t NO_INHERITANCE = 0;

struct ExplicitAccess {
  uint32_t access_permissions;
  uint32_t access_mode;
  uint32_t inheritance;
  const char* trustee_name;
};

void build_explicit_access_with_name(ExplicitAccess* access, const char* trustee_name, uint32_t permissions,
                                     uint32_t access_mode, uint32_t inheritance);
// Returns the error number itself (0 on success; 1332 for a trustee name that names no account).
// The new list is released with local_free.
uint32_t set_entries_in_acl(uint32_t count, const ExplicitAccess* entries, const Acl* old_acl, Acl** new_acl);

// LocalFree for the blocks the calls above give out; returns null, as LocalFree does on success.
void* local_free(void* block);

// The service program's side.
using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
using HandlerFunction = void (*)(uint32_t control);
using ServiceStatusHandle = void*;

// SERVICE_TABLE_ENTRYA; the table ends with an entry of nulls.
struct ServiceTableEntry {
  const char* service_name;
  ServiceMainFunction service_main;
};

// Runs the service main of the service this process was started as, on a thread of its own, and hands
// it the controls; returns true once the service has reported stopped. False with 1063 when the process
// was not started by the manager.
bool start_service_ctrl_dispatcher(const ServiceTableEntry* table);
ServiceStatusHandle register_service_ctrl_handler(const char* service_name, HandlerFunction handler);
bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status);

}  // namespace platform
