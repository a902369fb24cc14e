// The update run.
#pragma once

#include "launcher/ui_callbacks.h"
#include "platform/handle.h"

// Owns and deletes `callbacks`; 0 when the run ends well, -1 when a step failed for good.
int run_update(UiCallbacks* callbacks, platform::Hwnd window);
