#include "platform/console.h"

#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {

bool attach_parent_console() { return AttachConsole(ATTACH_PARENT_PROCESS) != FALSE; }

int reopen_console_stream(FILE* stream, const char* console_name, const char* mode) {
  FILE* reopened = nullptr;
  return _wfreopen_s(&reopened, win32::Utf16(console_name).get(), win32::Utf16(mode).get(), stream);
}

}  // namespace platform
