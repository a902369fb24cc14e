// The process entry: start-up in its fixed order, the instance control, the four launch modes and the
// hand-over of the main thread to the client runtime.
#pragma once

#include "platform/handle.h"
#include "platform/ui.h"

int wWinMain(platform::Hinstance instance, platform::Hinstance previous, char16_t* command_line, int show);
void startup_init();
// Returns only when start-up may go on; otherwise ends the process with the road's exit code.
void run_precheck();
