#include "platform/library.h"

#include "platform/win32/windows_api.h"

namespace platform {

bool set_dll_directory(const char16_t* directory) {
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(directory);
  if (wide != nullptr && *wide != 0) {
    DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return false;
    }
  }
  return SetDllDirectoryW(wide) != FALSE;
}

// Windows' loader itself searches the program directory, then the DLL directory, for a bare name.
std::string resolve_library(const char* name) { return name != nullptr ? name : ""; }

}  // namespace platform
