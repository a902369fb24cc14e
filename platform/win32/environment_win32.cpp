#include "platform/environment.h"

#include <cstdlib>
#include <string>

#include "platform/win32/windows_api.h"

namespace platform {

// SetEnvironmentVariableA alone leaves the C runtime's copy, which getenv reads, as it was; _putenv changes both.
bool set_environment_variable(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!SetEnvironmentVariableA(name, value)) {
    return false;
  }
  std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
  if (_putenv(assignment.c_str()) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

}  // namespace platform
