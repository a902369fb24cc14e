// The function the progress dialog's worker thread runs with the dialog's callback table and window.
#pragma once

#include "launcher/ui_callbacks.h"
#include "platform/handle.h"

// run_update; a test executable that defines this variable itself runs its own stand-in instead.
extern int (*g_update_worker)(UiCallbacks* callbacks, platform::Hwnd window);
