#include "platform/services.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

// The status records have the layout of Advapi32's own and pass through untouched; the records with names are
// queried in their wide form and written out in UTF-8 in the caller's buffer, laid out as the narrow calls lay
// theirs out (the record or records first, the texts after them).
static_assert(sizeof(platform::ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(sizeof(platform::ServiceStatusProcess) == sizeof(SERVICE_STATUS_PROCESS));

namespace platform {
namespace {

using win32::Utf16;
using win32::Utf16List;

SC_HANDLE native(ScHandle handle) { return static_cast<SC_HANDLE>(handle); }

// A wide query's whole result, asked for its size first and then with room for it (again when the result grew in
// between). False with the query's own error, other than the probe's "more room needed".
template <typename Query>
bool query_all(Query query, uint32_t more_room_error, std::vector<BYTE>* result) {
  DWORD needed = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    result->assign(std::max<DWORD>(needed, 1), 0);
    if (query(result->data(), needed, &needed)) {
      return true;
    }
    if (GetLastError() != more_room_error) {
      return false;
    }
  }
  return false;
}

// The UTF-8 texts of a record, placed after the record(s) in the caller's buffer.
class TextArea {
 public:
  // Every text is measured first (`out` null), then written once the room is known to be there.
  explicit TextArea(char* out) : out_(out) {}
  char* put(const wchar_t* text) {
    if (text == nullptr) {
      return nullptr;
    }
    return put_bytes(win32::to_utf8(text), 1);
  }
  // A list of names, each ended by a terminator and the list by one more.
  char* put_list(const wchar_t* list) {
    if (list == nullptr) {
      return nullptr;
    }
    std::string bytes;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1) {
      bytes += win32::to_utf8(name);
      bytes += '\0';
    }
    return put_bytes(bytes, 1);
  }
  size_t size() const { return size_; }

 private:
  char* put_bytes(const std::string& bytes, size_t terminators) {
    char* at = out_ == nullptr ? nullptr : out_ + size_;
    if (at != nullptr) {
      std::memcpy(at, bytes.data(), bytes.size());
      std::memset(at + bytes.size(), 0, terminators);
    }
    size_ += bytes.size() + terminators;
    return at;
  }
  char* out_;
  size_t size_ = 0;
};

// False with `too_small` and the size needed when the caller's buffer cannot take `size` bytes.
bool room_for(size_t size, uint32_t given, uint32_t* bytes_needed, uint32_t too_small) {
  if (bytes_needed) {
    *bytes_needed = static_cast<uint32_t>(size);
  }
  if (size > given) {
    SetLastError(too_small);
    return false;
  }
  return true;
}

// The service main's arguments in UTF-8, kept for the process's life: one service per process, and its main may
// keep them beyond its return.
std::vector<std::string> g_service_arguments;
std::vector<char*> g_service_argv;

// One service per process: the program's own handler and main, reached through functions of Advapi32's
// calling convention.
std::atomic<HandlerFunction> g_handler{nullptr};
std::atomic<ServiceMainFunction> g_service_main{nullptr};

void WINAPI handler_trampoline(DWORD control) {
  if (HandlerFunction handler = g_handler.load()) {
    handler(control);
  }
}

void WINAPI service_main_trampoline(DWORD argc, LPWSTR* argv) {
  ServiceMainFunction service_main = g_service_main.load();
  if (service_main == nullptr) {
    return;
  }
  g_service_arguments.clear();
  for (DWORD i = 0; i < argc; ++i) {
    g_service_arguments.push_back(win32::to_utf8(argv[i] ? argv[i] : L""));
  }
  g_service_argv.clear();
  for (std::string& argument : g_service_arguments) {
    g_service_argv.push_back(argument.data());
  }
  g_service_argv.push_back(nullptr);
  service_main(argc, g_service_argv.data());
}

}  // namespace

ScHandle open_sc_manager(const char* machine, const char* database, uint32_t access) {
  return OpenSCManagerW(Utf16(machine).get(), Utf16(database).get(), access);
}

ScHandle open_service(ScHandle manager, const char* service_name, uint32_t access) {
  return OpenServiceW(native(manager), Utf16(service_name).get(), access);
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
  std::vector<std::wstring> arguments;
  std::vector<const wchar_t*> wide_argv;
  for (uint32_t i = 0; argv != nullptr && i < argc; ++i) {
    arguments.push_back(win32::to_utf16(argv[i] ? argv[i] : ""));
  }
  for (const std::wstring& argument : arguments) {
    wide_argv.push_back(argument.c_str());
  }
  return StartServiceW(native(service), argc, argv != nullptr ? wide_argv.data() : nullptr) != FALSE;
}

bool control_service(ScHandle service, uint32_t control, ServiceStatus* status) {
  return ControlService(native(service), control, reinterpret_cast<SERVICE_STATUS*>(status)) != FALSE;
}

bool enum_dependent_services(ScHandle service, uint32_t state, EnumServiceStatus* services, uint32_t size,
                             uint32_t* bytes_needed, uint32_t* count) {
  DWORD returned = 0;
  std::vector<BYTE> wide;
  bool ok = query_all(
      [&](BYTE* buffer, DWORD room, DWORD* needed) {
        return EnumDependentServicesW(native(service), state, room ? reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer)
                                                                   : nullptr,
                                      room, needed, &returned) != FALSE;
      },
      ERROR_MORE_DATA, &wide);
  if (count) {
    *count = 0;
  }
  if (!ok) {
    return false;
  }
  const auto* found = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(wide.data());
  size_t records = returned * sizeof(EnumServiceStatus);
  TextArea measure(nullptr);
  for (DWORD i = 0; i < returned; ++i) {
    measure.put(found[i].lpServiceName);
    measure.put(found[i].lpDisplayName);
  }
  if (!room_for(records + measure.size(), services ? size : 0, bytes_needed, ERROR_MORE_DATA)) {
    return false;
  }
  TextArea texts(reinterpret_cast<char*>(services) + records);
  for (DWORD i = 0; i < returned; ++i) {
    services[i].service_name = texts.put(found[i].lpServiceName);
    services[i].display_name = texts.put(found[i].lpDisplayName);
    std::memcpy(&services[i].status, &found[i].ServiceStatus, sizeof services[i].status);
  }
  if (count) {
    *count = returned;
  }
  return true;
}

ScHandle create_service(ScHandle manager, const char* service_name, const char* display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path_name, const char* load_order_group, uint32_t* tag_id,
                        const char* dependencies, const char* service_start_name, const char* password) {
  DWORD tag = 0;
  SC_HANDLE service = CreateServiceW(native(manager), Utf16(service_name).get(), Utf16(display_name).get(), access,
                                     service_type, start_type, error_control, Utf16(binary_path_name).get(),
                                     Utf16(load_order_group).get(), tag_id ? &tag : nullptr,
                                     Utf16List(dependencies).get(), Utf16(service_start_name).get(),
                                     Utf16(password).get());
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
  BOOL ok = ChangeServiceConfigW(native(service), service_type, start_type, error_control,
                                 Utf16(binary_path_name).get(), Utf16(load_order_group).get(), tag_id ? &tag : nullptr,
                                 Utf16List(dependencies).get(), Utf16(service_start_name).get(),
                                 Utf16(password).get(), Utf16(display_name).get());
  if (ok && tag_id) {
    *tag_id = tag;
  }
  return ok != FALSE;
}

bool change_service_config2(ScHandle service, uint32_t level, const void* info) {
  if (level != SERVICE_CONFIG_DESCRIPTION) {
    SetLastError(ERROR_INVALID_LEVEL);
    return false;
  }
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Utf16 text(static_cast<const ServiceDescription*>(info)->description);
  SERVICE_DESCRIPTIONW description{text.mutable_get()};
  return ChangeServiceConfig2W(native(service), level, &description) != FALSE;
}

bool query_service_config(ScHandle service, QueryServiceConfig* config, uint32_t size, uint32_t* bytes_needed) {
  std::vector<BYTE> wide;
  if (!query_all(
          [&](BYTE* buffer, DWORD room, DWORD* needed) {
            return QueryServiceConfigW(native(service),
                                       room ? reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer) : nullptr, room,
                                       needed) != FALSE;
          },
          ERROR_INSUFFICIENT_BUFFER, &wide)) {
    return false;
  }
  const auto* found = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(wide.data());
  TextArea measure(nullptr);
  measure.put(found->lpBinaryPathName);
  measure.put(found->lpLoadOrderGroup);
  measure.put_list(found->lpDependencies);
  measure.put(found->lpServiceStartName);
  measure.put(found->lpDisplayName);
  if (!room_for(sizeof(QueryServiceConfig) + measure.size(), config ? size : 0, bytes_needed,
                ERROR_INSUFFICIENT_BUFFER)) {
    return false;
  }
  TextArea texts(reinterpret_cast<char*>(config + 1));
  config->service_type = found->dwServiceType;
  config->start_type = found->dwStartType;
  config->error_control = found->dwErrorControl;
  config->binary_path_name = texts.put(found->lpBinaryPathName);
  config->load_order_group = texts.put(found->lpLoadOrderGroup);
  config->tag_id = found->dwTagId;
  config->dependencies = texts.put_list(found->lpDependencies);
  config->service_start_name = texts.put(found->lpServiceStartName);
  config->display_name = texts.put(found->lpDisplayName);
  return true;
}

bool query_service_config2(ScHandle service, uint32_t level, void* buffer, uint32_t size, uint32_t* bytes_needed) {
  if (level != SERVICE_CONFIG_DESCRIPTION) {
    SetLastError(ERROR_INVALID_LEVEL);
    return false;
  }
  std::vector<BYTE> wide;
  if (!query_all(
          [&](BYTE* out, DWORD room, DWORD* needed) {
            return QueryServiceConfig2W(native(service), level, room ? out : nullptr, room, needed) != FALSE;
          },
          ERROR_INSUFFICIENT_BUFFER, &wide)) {
    return false;
  }
  const auto* found = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(wide.data());
  TextArea measure(nullptr);
  measure.put(found->lpDescription);
  if (!room_for(sizeof(ServiceDescription) + measure.size(), buffer ? size : 0, bytes_needed,
                ERROR_INSUFFICIENT_BUFFER)) {
    return false;
  }
  auto* description = static_cast<ServiceDescription*>(buffer);
  TextArea texts(reinterpret_cast<char*>(description + 1));
  description->description = texts.put(found->lpDescription);
  return true;
}

bool start_service_ctrl_dispatcher(const ServiceTableEntry* table) {
  if (!table || !table[0].service_name || !table[0].service_main) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // An own-process service: the first entry is the one the manager starts.
  g_service_main.store(table[0].service_main);
  Utf16 name(table[0].service_name);
  SERVICE_TABLE_ENTRYW native_table[] = {{name.mutable_get(), service_main_trampoline}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(native_table) != FALSE;
}

ServiceStatusHandle register_service_ctrl_handler(const char* service_name, HandlerFunction handler) {
  g_handler.store(handler);
  return RegisterServiceCtrlHandlerW(Utf16(service_name).get(), handler_trampoline);
}

bool set_service_status(ServiceStatusHandle handle, const ServiceStatus* status) {
  SERVICE_STATUS native_status;
  static_assert(sizeof native_status == sizeof *status);
  std::memcpy(&native_status, status, sizeof native_status);
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &native_status) != FALSE;
}

}  // namespace platform
