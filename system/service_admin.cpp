#include "system/service_admin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/errors.h"
#include "platform/services.h"

namespace {

const char16_t kServiceSddl[] =
    u"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;AU)"
    u"(A;;CCLCSWRPWPDTLOCRRC;;;PU)(A;;RP;;;IU)(A;;RPWP;;;IU)";
char kDescription[] = "This is a test description";
const char kGuest[] = "GUEST";
constexpr uint32_t kGuestAccess =
    platform::SERVICE_START | platform::SERVICE_STOP | platform::READ_CONTROL | platform::DELETE;
constexpr size_t kCommandLineSize = 260;

int last_error() { return static_cast<int>(platform::last_error()); }

platform::ScHandle open_manager() {
  platform::ScHandle manager = platform::open_sc_manager(nullptr, nullptr, platform::SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    std::printf("OpenSCManager failed (%d)\n", last_error());
  }
  return manager;
}

// The manager and the service, or false after the failure line (with nothing left open).
bool open_both(const char* service_name, uint32_t access, platform::ScHandle* manager, platform::ScHandle* service) {
  *manager = open_manager();
  if (!*manager) {
    return false;
  }
  *service = platform::open_service(*manager, service_name, access);
  if (!*service) {
    std::printf("OpenService failed (%d)\n", last_error());
    platform::close_service_handle(*manager);
    return false;
  }
  return true;
}

void close_both(platform::ScHandle service, platform::ScHandle manager) {
  platform::close_service_handle(service);
  platform::close_service_handle(manager);
}

void set_start_type(const char* service_name, uint32_t start_type, const char* success_line) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  if (!open_both(service_name, platform::SERVICE_CHANGE_CONFIG, &manager, &service)) {
    return;
  }
  if (platform::change_service_config(service, platform::SERVICE_NO_CHANGE, start_type, platform::SERVICE_NO_CHANGE,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    std::printf("%s", success_line);
  } else {
    std::printf("ChangeServiceConfig failed (%d)\n", last_error());
  }
  close_both(service, manager);
}

bool present(const char* text) { return text && *text; }

}  // namespace

void install_service(const char* service_name, const char* program_path) {
  char command_line[kCommandLineSize];
  // A path that does not fit would register a cut-off program; nothing is created then.
  int length = std::snprintf(command_line, sizeof command_line, "\"%s\"", program_path);
  if (length < 0 || static_cast<size_t>(length) >= sizeof command_line) {
    std::printf("CreateService failed (%d)\n", static_cast<int>(platform::ERROR_FILENAME_EXCED_RANGE));
    return;
  }
  platform::ScHandle manager = open_manager();
  if (!manager) {
    return;
  }
  platform::ScHandle service = platform::create_service(
      manager, service_name, service_name, platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
      platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL, command_line, nullptr, nullptr, nullptr,
      nullptr, nullptr);
  if (!service) {
    std::printf("CreateService failed (%d)\n", last_error());
    platform::close_service_handle(manager);
    return;
  }
  std::printf("Service installed successfully\n");
  void* descriptor = nullptr;
  if (platform::convert_string_security_descriptor_to_security_descriptor(kServiceSddl, platform::SDDL_REVISION_1,
                                                                          &descriptor, nullptr)) {
    platform::set_service_object_security(service, platform::DACL_SECURITY_INFORMATION, descriptor);
    platform::local_free(descriptor);
  }
  close_both(service, manager);
}

void delete_service(const char* service_name) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  if (!open_both(service_name, platform::DELETE, &manager, &service)) {
    return;
  }
  if (platform::delete_service(service)) {
    std::printf("Service deleted successfully\n");
  } else {
    std::printf("DeleteService failed (%d)\n", last_error());
  }
  close_both(service, manager);
}

void disable_service(const char* service_name) {
  set_start_type(service_name, platform::SERVICE_DISABLED, "Service disabled successfully.\n");
}

void enable_service(const char* service_name) {
  set_start_type(service_name, platform::SERVICE_DEMAND_START, "Service enabled successfully.\n");
}

void update_service_description(const char* service_name) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  if (!open_both(service_name, platform::SERVICE_CHANGE_CONFIG, &manager, &service)) {
    return;
  }
  platform::ServiceDescription description{kDescription};
  if (platform::change_service_config2(service, platform::SERVICE_CONFIG_DESCRIPTION, &description)) {
    std::printf("Service description updated successfully.\n");
  } else {
    std::printf("ChangeServiceConfig2 failed\n");
  }
  close_both(service, manager);
}

void query_service_config(const char* service_name) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  if (!open_both(service_name, platform::SERVICE_QUERY_CONFIG, &manager, &service)) {
    return;
  }
  uint32_t bytes_needed = 0;
  platform::QueryServiceConfig* config = nullptr;
  if (!platform::query_service_config(service, nullptr, 0, &bytes_needed)) {
    if (platform::last_error() != platform::ERROR_INSUFFICIENT_BUFFER) {
      std::printf("QueryServiceConfig failed (%d)", last_error());
      close_both(service, manager);
      return;
    }
    config = static_cast<platform::QueryServiceConfig*>(std::malloc(bytes_needed));
  }
  // An allocation that fails reads as the query's own failure, for lack of memory.
  if (!config) {
    std::printf("QueryServiceConfig failed (%d)", static_cast<int>(platform::ERROR_NOT_ENOUGH_MEMORY));
    close_both(service, manager);
    return;
  }
  if (!platform::query_service_config(service, config, bytes_needed, &bytes_needed)) {
    std::printf("QueryServiceConfig failed (%d)", last_error());
    std::free(config);
    close_both(service, manager);
    return;
  }
  platform::ServiceDescription* description = nullptr;
  uint32_t description_size = 0;
  if (!platform::query_service_config2(service, platform::SERVICE_CONFIG_DESCRIPTION, nullptr, 0,
                                       &description_size)) {
    int error = last_error();
    if (error == static_cast<int>(platform::ERROR_INSUFFICIENT_BUFFER)) {
      description = static_cast<platform::ServiceDescription*>(std::malloc(description_size));
      error = description ? 0 : static_cast<int>(platform::ERROR_NOT_ENOUGH_MEMORY);
    }
    if (error == 0 && !platform::query_service_config2(service, platform::SERVICE_CONFIG_DESCRIPTION, description,
                                                       description_size, &description_size)) {
      error = last_error();
    }
    if (error != 0) {
      std::printf("QueryServiceConfig2 failed (%d)", error);
      std::free(description);
      std::free(config);
      close_both(service, manager);
      return;
    }
  }
  std::printf("%s configuration: \n", service_name);
  std::printf("  Type: 0x%x\n", config->service_type);
  std::printf("  Start Type: 0x%x\n", config->start_type);
  std::printf("  Error Control: 0x%x\n", config->error_control);
  std::printf("  Binary path: %s\n", config->binary_path_name);
  std::printf("  Account: %s\n", config->service_start_name);
  if (description && present(description->description)) {
    std::printf("  Description: %s\n", description->description);
  }
  if (present(config->load_order_group)) {
    std::printf("  Load order group: %s\n", config->load_order_group);
  }
  if (config->tag_id != 0) {
    std::printf("  Tag ID: %d\n", static_cast<int>(config->tag_id));
  }
  if (present(config->dependencies)) {
    std::printf("  Dependencies: %s\n", config->dependencies);
  }
  std::free(description);
  std::free(config);
  close_both(service, manager);
}

void update_service_dacl(const char* service_name) {
  platform::ScHandle manager = nullptr;
  platform::ScHandle service = nullptr;
  if (!open_both(service_name, platform::READ_CONTROL | platform::WRITE_DAC, &manager, &service)) {
    return;
  }
  void* descriptor = nullptr;
  platform::Acl* new_acl = nullptr;
  uint32_t bytes_needed = 0;
  auto clean_up = [&] {
    platform::close_service_handle(manager);
    platform::close_service_handle(service);
    if (new_acl) {
      platform::local_free(new_acl);
    }
    std::free(descriptor);
  };
  if (!platform::query_service_object_security(service, platform::DACL_SECURITY_INFORMATION, nullptr, 0,
                                               &bytes_needed)) {
    if (platform::last_error() != platform::ERROR_INSUFFICIENT_BUFFER) {
      std::printf("QueryServiceObjectSecurity failed (%d)\n", last_error());
      clean_up();
      return;
    }
    descriptor = std::calloc(1, bytes_needed);
    if (!descriptor) {
      std::printf("HeapAlloc failed\n");
      clean_up();
      return;
    }
    if (!platform::query_service_object_security(service, platform::DACL_SECURITY_INFORMATION, descriptor,
                                                 bytes_needed, &bytes_needed)) {
      std::printf("QueryServiceObjectSecurity failed (%d)\n", last_error());
      clean_up();
      return;
    }
  }
  bool dacl_present = false;
  bool dacl_defaulted = false;
  platform::Acl* dacl = nullptr;
  if (!platform::get_security_descriptor_dacl(descriptor, &dacl_present, &dacl, &dacl_defaulted)) {
    std::printf("GetSecurityDescriptorDacl failed(%d)\n", last_error());
    clean_up();
    return;
  }
  platform::ExplicitAccess access{};
  platform::build_explicit_access_with_name(&access, kGuest, kGuestAccess, platform::SET_ACCESS,
                                            platform::NO_INHERITANCE);
  uint32_t result = platform::set_entries_in_acl(1, &access, dacl, &new_acl);
  if (result != platform::ERROR_SUCCESS) {
    std::printf("SetEntriesInAcl failed(%d)\n", static_cast<int>(result));
    clean_up();
    return;
  }
  platform::SecurityDescriptor new_descriptor{};
  if (!platform::initialize_security_descriptor(&new_descriptor, platform::SECURITY_DESCRIPTOR_REVISION)) {
    std::printf("InitializeSecurityDescriptor failed(%d)\n", last_error());
    clean_up();
    return;
  }
  if (!platform::set_security_descriptor_dacl(&new_descriptor, true, new_acl, false)) {
    std::printf("SetSecurityDescriptorDacl failed(%d)\n", last_error());
    clean_up();
    return;
  }
  if (platform::set_service_object_security(service, platform::DACL_SECURITY_INFORMATION, &new_descriptor)) {
    std::printf("Service DACL updated successfully\n");
  } else {
    std::printf("SetServiceObjectSecurity failed(%d)\n", last_error());
  }
  clean_up();
}
