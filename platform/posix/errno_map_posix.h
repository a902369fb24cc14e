// errno values turned into the Windows error numbers the layer reports.
#pragma once

#include <cstdint>

namespace platform::posix {

uint32_t windows_error(int error_number);
// Sets last_error() from errno and returns false, for one-line failure paths.
bool fail_from_errno();

}  // namespace platform::posix
