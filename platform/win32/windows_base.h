// <windows.h> as every file of the Windows build may see it (the build includes this header first in each): the
// platform headers are read before <windows.h> turns the names of their constants into macros, and
// "platform/win32/windows_names.h" then drops those macros again. The layer's own files include windows_api.h.
#pragma once

#include "platform/command_line.h"
#include "platform/console.h"
#include "platform/encoding.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "platform/state_dir.h"
#include "platform/sync.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "platform/wall_clock.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// <winbase.h> declares wWinMain with Windows' types, the launcher's entry header with the platform's; renamed here,
// the two declarations never meet (the launcher's is the one that is defined, see main_win32.cpp).
#define wWinMain windows_declared_wWinMain
#include <windows.h>
#undef wWinMain

#include "platform/win32/windows_names.h"
