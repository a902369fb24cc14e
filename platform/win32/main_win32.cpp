// The program's start on Windows. gcc and clang give a function named wWinMain C linkage whatever its parameter
// types, so with -municode the C runtime calls the launcher's entry itself, with the module's instance handle, the
// command line after the program's own name and the show flag. What is left here is to hold the entry's parameters
// to the ones Windows passes.
#include "launcher/entry.h"

#include <type_traits>

#include "platform/win32/windows_api.h"

static_assert(std::is_pointer_v<platform::Hinstance> && sizeof(platform::Hinstance) == sizeof(HINSTANCE));
static_assert(sizeof(char16_t) == sizeof(wchar_t));
static_assert(std::is_same_v<decltype(&wWinMain), int (*)(platform::Hinstance, platform::Hinstance, char16_t*, int)>);
