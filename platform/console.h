// Attaching to the console of the parent process.
#pragma once

#include <cstdio>

namespace platform {

// AttachConsole(ATTACH_PARENT_PROCESS): true when the parent has a console to share.
bool attach_parent_console();

// freopen_s of a standard stream onto "CONOUT$" or "CONIN$"; 0 on success.
int reopen_console_stream(FILE* stream, const char* console_name, const char* mode);

}  // namespace platform
