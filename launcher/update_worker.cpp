#include "launcher/update_worker.h"

#include "update/run_update.h"

int (*g_update_worker)(UiCallbacks* callbacks, platform::Hwnd window) = run_update;
