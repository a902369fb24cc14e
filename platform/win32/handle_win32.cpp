#include "platform/handle.h"

#include "platform/win32/windows_api.h"

namespace platform {

bool close_handle(Handle handle) { return CloseHandle(handle) != FALSE; }

}  // namespace platform
