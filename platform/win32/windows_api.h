// The one door to the Windows API for the Win32 layer's own files; the launcher's own code never includes it.
// On top of windows_base.h: the shell, common controls, COM, security, task scheduler and tool-help headers, whose
// macros of the platform's names are dropped again. Windows headers included after this one must be followed by
// "platform/win32/windows_names.h".
#pragma once

#include "platform/win32/windows_base.h"

#include <aclapi.h>
#include <commctrl.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <taskschd.h>
#include <tlhelp32.h>

#include "platform/win32/windows_names.h"
