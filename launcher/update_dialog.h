// The progress dialog of an update run: its procedure, which starts the update worker, and the slot
// implementations through which the worker shows the run's phases, progress and end.
#pragma once

#include <cstdint>

#include "platform/handle.h"
#include "platform/ui.h"
#include "launcher/ui_callbacks.h"

// Dialog results: 0 after a good run, 65535 (the low word of -1) after a failed one.
intptr_t update_dialog_proc(platform::Hwnd dialog, uint32_t message, platform::Wparam wparam, platform::Lparam lparam);

int on_index_begin(platform::Hwnd dialog);
int on_index_end(platform::Hwnd dialog);
int on_meta_begin(platform::Hwnd dialog);
int on_meta_progress(platform::Hwnd dialog, int32_t done, int32_t total);
int on_sync_begin(platform::Hwnd dialog);
int on_sync_progress(platform::Hwnd dialog, int32_t done, int32_t total);
int on_unzip_begin(platform::Hwnd dialog);
int on_unzip_progress(platform::Hwnd dialog, int32_t done, int32_t total);
int on_copy_begin(platform::Hwnd dialog);
int on_copy_progress(platform::Hwnd dialog, int32_t done, int32_t total);
int on_update_done(platform::Hwnd dialog, int32_t code);
int on_update_error(platform::Hwnd dialog, int32_t string_id);
