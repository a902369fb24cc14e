// The update run: the steps in their fixed order with the retry rule, the run's log lines and its outcome.
#pragma once

#include <cstdint>

#include "launcher/ui_callbacks.h"
#include "platform/handle.h"

// Each returns an UpdateError code (0 success).
struct PipelineSteps {
  int (*setup_index_data)();
  int (*meta_json_integrity)();
  int (*check_installed_files)(const char* installed_json);
  int (*sync_zip)();
  int (*unzip)();
  int (*copy)();
  int (*check_zantho_service)();
};

// The steps of the system.
extern const PipelineSteps kPipelineSteps;

// Owns and deletes `callbacks`; 0 when the run ends well, -1 when a step failed for good.
int run_update(UiCallbacks* callbacks, platform::Hwnd window);
int run_update_with(const PipelineSteps& steps, UiCallbacks* callbacks, platform::Hwnd window);
