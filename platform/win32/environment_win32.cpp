#include "platform/environment.h"

#include <cstdlib>
#include <string>

#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {

// SetEnvironmentVariableW alone leaves the C runtime's copies, which getenv and _wgetenv read, as they were;
// _wputenv changes both of those.
bool set_environment_variable(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!SetEnvironmentVariableW(win32::Utf16(name).get(), win32::Utf16(value).get())) {
    return false;
  }
  std::wstring assignment = win32::to_utf16(std::string(name) + "=" + (value != nullptr ? value : ""));
  if (_wputenv(assignment.c_str()) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

namespace win32 {

bool environment_variable(const char* name, std::string* value) {
  Utf16 wide_name(name);
  std::wstring wide(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(wide_name.get(), wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0 && GetLastError() != ERROR_SUCCESS) {
      return false;
    }
    if (length < wide.size()) {
      wide.resize(length);
      *value = to_utf8(wide);
      return true;
    }
    wide.assign(length, L'\0');
  }
}

}  // namespace win32
}  // namespace platform
