#include "update/run_update.h"

#include "common/log.h"
#include "launcher/command_line.h"
#include "launcher/update_settings.h"
#include "update/copy_tail.h"
#include "update/meta_paths.h"
#include "update/pipeline_state.h"

namespace {

constexpr int kAttempts = 4;

struct RetriedStep {
  const char* begin_line;
  const char* retry_line;
  const char* end_line;
  const char* error_line;
};

constexpr RetriedStep kSetupIndexData{"begin SETUP_INDEX_DATA", "retry SETUP_INDEX_DATA", "end SETUP_INDEX_DATA",
                                      "error SETUP_INDEX_DATA"};
constexpr RetriedStep kMetaJsonIntegrity{"begin META_JSON_INTEGRITY", "retry META_JSON_INTEGRITY",
                                         "end META_JSON_INTEGRITY", "error META_JSON_INTEGRITY"};
constexpr RetriedStep kSyncZip{"begin SYNC_ZIP", "retry SYNC_ZIP", "end SYNC_ZIP", "error SYNC_ZIP"};
constexpr RetriedStep kUnzip{"begin UNZIP", "retry UNZIP", "end UNZIP", "error UNZIP"};
constexpr RetriedStep kCopy{"begin COPY", "retry COPY", "end COPY", "error COPY"};

// The log lines are runtime texts, so they go through a "{}" format.
void log_info(const char* line) { log_to("update", spdlog::level::info, "{}", line); }
void log_error(const char* line) { log_to("update", spdlog::level::err, "{}", line); }

// Up to four attempts, one right after the other; the code of the last one when all fail.
int run_retried(const RetriedStep& lines, int (*step)()) {
  g_retry_count = 0;
  for (;;) {
    log_info(g_retry_count <= 0 ? lines.begin_line : lines.retry_line);
    int code = step();
    if (code == 0) {
      log_info(lines.end_line);
      return 0;
    }
    if (++g_retry_count >= kAttempts) {
      log_error(lines.error_line);
      return code;
    }
  }
}

int end_run(int result) {
  log_to("update", spdlog::level::info, "UPDATE RES:{}", result);
  spdlog::drop("update");
  return result;
}

int done(UiCallbacks* callbacks) {
  if (callbacks->update_done) {
    callbacks->update_done(g_ui_window, 0);
  }
  delete callbacks;
  return end_run(0);
}

int fail(UiCallbacks* callbacks, int code) {
  int32_t string_id = update_error_string_ids[code];
  log_to("update", spdlog::level::err, "error occur:{} {}", code, string_id);
  if (callbacks->update_error) {
    callbacks->update_error(g_ui_window, string_id);
  }
  delete callbacks;
  return end_run(-1);
}

// The codes of the steps lie in 1..30; anything else is a fault of a step, reported as an internal error.
int checked(int code) { return code >= 1 && code <= 30 ? code : 2; }

}  // namespace

int run_update_with(const PipelineSteps& steps, UiCallbacks* callbacks, platform::Hwnd window) {
  log_info(" start");
  g_ui_callbacks = callbacks;
  g_ui_window = window;

  // Whether this run ends a copy, its own or one a kill cut short after the files were in place.
  bool ends_copy = false;
  if (g_settings.precheck != 0 || g_launch_mode == kLaunchBackground) {
    int code = 0;
    if (g_settings.client_region == g_settings.home_region &&
        (code = run_retried(kSetupIndexData, steps.setup_index_data)) != 0) {
      return fail(callbacks, checked(code));
    }
    if ((code = run_retried(kMetaJsonIntegrity, steps.meta_json_integrity)) != 0) {
      return fail(callbacks, checked(code));
    }
    log_info("begin CHECK_INSTALLED_FILES");
    if (steps.check_installed_files(installed_json_path()) == 0) {
      log_info("end CHECK_INSTALLED_FILES(completed)");
      // A copy killed once its files were in place left the staging and the service step; -b never copies and
      // leaves them to the next dialog run.
      if (g_launch_mode == kLaunchBackground || !copy_tail_pending()) {
        return done(callbacks);
      }
      if ((code = remove_copy_leftovers(installed_json_path())) != 0) {
        return fail(callbacks, code);
      }
    } else {
      log_info("end CHECK_INSTALLED_FILES(need repair)");
      if ((code = run_retried(kSyncZip, steps.sync_zip)) != 0) {
        return fail(callbacks, checked(code));
      }
      if (g_launch_mode == kLaunchBackground) {
        return done(callbacks);
      }
      if ((code = run_retried(kUnzip, steps.unzip)) != 0) {
        return fail(callbacks, checked(code));
      }
      // A staging that a killed extraction left is no sign of a copy: only this mark is.
      mark_copy_tail_pending();
      if ((code = run_retried(kCopy, steps.copy)) != 0) {
        return fail(callbacks, checked(code));
      }
    }
    ends_copy = true;
  }

  int code = steps.check_zantho_service();
  if (ends_copy) {
    clear_copy_tail();
  }
  if (code != 0) {
    log_error("error check_zantho_service");
    return fail(callbacks, checked(code));
  }
  log_info("end check_zantho_service");
  return done(callbacks);
}

int run_update(UiCallbacks* callbacks, platform::Hwnd window) {
  return run_update_with(kPipelineSteps, callbacks, window);
}
