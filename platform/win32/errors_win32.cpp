#include "platform/errors.h"

#include "platform/win32/windows_api.h"

namespace platform {

uint32_t last_error() { return GetLastError(); }

void set_last_error(uint32_t error) { SetLastError(error); }

}  // namespace platform
