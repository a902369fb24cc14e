#include "platform/environment.h"

#include <stdlib.h>

#include "platform/errors.h"

namespace platform {

bool set_environment_variable(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  int result = value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
  if (result != 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

}  // namespace platform
