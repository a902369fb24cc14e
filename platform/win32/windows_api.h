// The one door to <windows.h> for the Win32 layer; the Parts' code never includes it.
// The platform headers are read first, so their constants are declared before <windows.h> turns the same names into
// macros; the macros are then dropped, so every such name means the platform's constant (values as Windows gives
// them) inside and outside namespace platform. Windows headers included after this one must be followed by
// "platform/win32/windows_names.h", which drops their new macros of the same names again.
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
#include <aclapi.h>
#include <commctrl.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <taskschd.h>
#include <tlhelp32.h>
#undef wWinMain

#include "platform/win32/windows_names.h"
