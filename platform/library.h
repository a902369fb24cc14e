// Finding the runtime library as Windows' loader would: the program directory, then the DLL directory.
#pragma once

#include <string>

namespace platform {

// SetDllDirectoryW: the directory searched after the program's own; false when it does not exist.
bool set_dll_directory(const char16_t* directory);

// The full UTF-8 path under which a bare library name is found; the name unchanged when it is not found
// (or is already a path), so the loader reports the failure.
std::string resolve_library(const char* name);

}  // namespace platform
