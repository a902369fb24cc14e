#include "platform/console.h"

#include "platform/win32/windows_api.h"

namespace platform {

bool attach_parent_console() { return AttachConsole(ATTACH_PARENT_PROCESS) != FALSE; }

int reopen_console_stream(FILE* stream, const char* console_name, const char* mode) {
  FILE* reopened = nullptr;
  return freopen_s(&reopened, console_name, mode, stream);
}

}  // namespace platform
