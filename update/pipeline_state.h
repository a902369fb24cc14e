// The process-wide values of an update run, shared by the driver and its steps, and the error-code table.
#pragma once

#include <cstdint>

#include "launcher/ui_callbacks.h"
#include "platform/handle.h"

extern UiCallbacks* g_ui_callbacks;
extern platform::Hwnd g_ui_window;
extern int32_t g_retry_count;

// String-table id shown for each UpdateError code 0..30.
extern const int32_t update_error_string_ids[31];
