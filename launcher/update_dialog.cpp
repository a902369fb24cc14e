#include "launcher/update_dialog.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include <fmt/xchar.h>
#include <spdlog/spdlog.h>

#include "common/file_ops.h"
#include "launcher/ui_texts.h"
#include "launcher/update_worker.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "resources/resource.h"

using platform::Hwnd;
using platform::Lparam;
using platform::Wparam;

namespace {

constexpr int kErrorCommand = 3;
constexpr uint32_t kIndexText = 203;
constexpr uint32_t kMetaText = 204;
constexpr uint32_t kSyncText = 205;
constexpr uint32_t kUnzipText = 206;
constexpr uint32_t kCopyText = 207;
constexpr uint32_t kTryToStartText = 208;
constexpr int32_t kComponentInitError = 212;

void load_text(uint32_t id) { platform::load_string(g_hinstance, id, g_message_text, 1024); }

// What this thread last put on one dialog's phase line and bar. The download reports progress for every block
// it receives, tens of thousands of times a run, while the percentage changes a hundred times: a send that
// would put the same text or position again changes nothing on the screen and is left out, since each one
// waits for the window's thread.
struct ShownOnDialog {
  Hwnd dialog = nullptr;
  bool text_known = false;
  std::wstring text;
  bool bar_known = false;
  int bar = 0;
};

thread_local ShownOnDialog t_shown;

// Forgets what was shown, so a new dialog (which may reuse an old one's handle) gets every first send.
void forget_shown(Hwnd dialog) {
  t_shown = ShownOnDialog();
  t_shown.dialog = dialog;
}

ShownOnDialog& shown_on(Hwnd dialog) {
  if (t_shown.dialog != dialog) forget_shown(dialog);
  return t_shown;
}

int set_text(Hwnd dialog, const wchar_t* text) {
  ShownOnDialog& shown = shown_on(dialog);
  if (shown.text_known && shown.text == text) return 1;
  int result = static_cast<int>(platform::send_dlg_item_message(dialog, IDC_UPDATE_PHASE, platform::WM_SETTEXT, 0,
                                                                reinterpret_cast<Lparam>(text)));
  shown.text_known = true;
  shown.text = text;
  return result;
}

int set_bar(Hwnd dialog, int position) {
  ShownOnDialog& shown = shown_on(dialog);
  if (shown.bar_known && shown.bar == position) return position;
  int result = static_cast<int>(platform::send_dlg_item_message(dialog, IDC_UPDATE_PROGRESS, platform::PBM_SETPOS,
                                                                static_cast<Wparam>(position), 0));
  shown.bar_known = true;
  shown.bar = position;
  return result;
}

int show_phase(Hwnd dialog, uint32_t text_id) {
  load_text(text_id);
  set_text(dialog, g_message_text);
  return set_bar(dialog, 0);
}

// "Try to start...(<the error's text>)" with the bar at 0.
void show_error(Hwnd dialog, int32_t string_id) {
  load_text(kTryToStartText);
  std::wstring text = g_message_text;
  load_text(static_cast<uint32_t>(string_id));
  text += L"(" + std::wstring(g_message_text) + L")";
  set_bar(dialog, 0);
  set_text(dialog, text.c_str());
}

// Truncated toward zero; a total of 0 gives 0, and quotients beyond int are held at its ends.
int percent(int32_t done, int32_t total) {
  if (total == 0) return 0;
  double p = std::trunc(done * 100.0 / total);
  p = std::fmax(p, static_cast<double>(std::numeric_limits<int>::min()));
  p = std::fmin(p, static_cast<double>(std::numeric_limits<int>::max()));
  return static_cast<int>(p);
}

// A run that moved the launcher aside and did not put a new one in its place gets the old one back.
void restore_launcher() {
  if (!file_exists_cwd("zantho.exe") && file_exists_cwd("zantho.old.exe")) {
    platform::rename_path("zantho.old.exe", "zantho.exe");
  }
}

// The worker may be anywhere in its run, using the settings, the log and the downloader: the process ends
// without running their destructors under it, once the log has been written out.
[[noreturn]] void end_process_on_cancel() {
  if (std::shared_ptr<spdlog::logger> logger = spdlog::get("update")) logger->flush();
  std::fflush(nullptr);
  std::_Exit(-1);
}

// Whether the run's dialog has been ended, by the run's last report or by the watcher of its worker.
struct DialogEnd {
  std::atomic<bool> ended{false};
};

// The worker's own, marked by the run's last report before it ends the dialog.
thread_local std::shared_ptr<DialogEnd> t_dialog_end;

void mark_dialog_ended() {
  if (t_dialog_end) t_dialog_end->ended = true;
}

struct WorkerStart {
  UiCallbacks* callbacks;
  Hwnd dialog;
  std::shared_ptr<DialogEnd> dialog_end;
};

uint32_t worker_main(void* argument) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
  forget_shown(start->dialog);
  t_dialog_end = start->dialog_end;
  g_update_worker(start->callbacks, start->dialog);
  t_dialog_end.reset();
  return 0;
}

struct WorkerWatch {
  platform::Handle worker;
  Hwnd dialog;
  std::shared_ptr<DialogEnd> dialog_end;
};

// The dialog must not outlive its worker: a run that returns without its last report, or a fault that ends only
// the worker's thread (Wine ends a thread whose stack overflows past its guard page), ends it as a failed run.
uint32_t watch_worker(void* argument) {
  std::unique_ptr<WorkerWatch> watch(static_cast<WorkerWatch*>(argument));
  platform::wait_for_single_object(watch->worker, platform::INFINITE);
  platform::close_handle(watch->worker);
  if (!watch->dialog_end->ended.exchange(true)) {
    platform::send_message(watch->dialog, platform::WM_COMMAND, kErrorCommand, -1);
  }
  return 0;
}

// Without a watcher the worker runs on unwatched, as it would with nobody to wait for it.
void watch(platform::Handle worker, Hwnd dialog, const std::shared_ptr<DialogEnd>& dialog_end) {
  auto* watch = new WorkerWatch{worker, dialog, dialog_end};
  platform::Handle watcher = platform::create_thread(watch_worker, watch);
  if (watcher) {
    platform::close_handle(watcher);
    return;
  }
  delete watch;
  platform::close_handle(worker);
}

void init_dialog(Hwnd dialog) {
  forget_shown(dialog);
  platform::send_dlg_item_message(dialog, IDC_UPDATE_PROGRESS, platform::PBM_SETRANGE, 0,
                                  platform::make_lparam(0, 100));
  auto* callbacks = new UiCallbacks;
  callbacks->index_begin = on_index_begin;
  callbacks->index_end = on_index_end;
  callbacks->meta_begin = on_meta_begin;
  callbacks->meta_progress = on_meta_progress;
  callbacks->sync_begin = on_sync_begin;
  callbacks->sync_progress = on_sync_progress;
  callbacks->unzip_begin = on_unzip_begin;
  callbacks->unzip_progress = on_unzip_progress;
  callbacks->copy_begin = on_copy_begin;
  callbacks->copy_progress = on_copy_progress;
  callbacks->update_done = on_update_done;
  callbacks->update_error = on_update_error;
  auto dialog_end = std::make_shared<DialogEnd>();
  auto* start = new WorkerStart{callbacks, dialog, dialog_end};
  platform::Handle thread = platform::create_thread(worker_main, start);
  if (thread) {
    watch(thread, dialog, dialog_end);
    return;
  }
  // Without a worker there is no run: the dialog ends as a failed run ends, at once.
  delete start;
  delete callbacks;
  show_error(dialog, kComponentInitError);
  platform::send_message(dialog, platform::WM_COMMAND, kErrorCommand, -1);
}

}  // namespace

intptr_t update_dialog_proc(Hwnd dialog, uint32_t message, Wparam wparam, Lparam lparam) {
  if (message == platform::WM_INITDIALOG) {
    init_dialog(dialog);
    return 1;
  }
  if (message != platform::WM_COMMAND) return 0;
  intptr_t result = platform::low_word(static_cast<uintptr_t>(lparam));
  switch (platform::low_word(wparam)) {
    case platform::IDOK:
      platform::end_dialog(dialog, result);
      break;
    case kErrorCommand:
      platform::end_dialog(dialog, result);
      restore_launcher();
      break;
    case platform::IDCANCEL:
      platform::end_dialog(dialog, result);
      restore_launcher();
      end_process_on_cancel();
    default:
      break;
  }
  return 1;
}

int on_index_begin(Hwnd dialog) { return show_phase(dialog, kIndexText); }

int on_index_end(Hwnd dialog) { return set_bar(dialog, 100); }

int on_meta_begin(Hwnd dialog) { return show_phase(dialog, kMetaText); }

int on_meta_progress(Hwnd dialog, int32_t done, int32_t total) { return set_bar(dialog, percent(done, total)); }

int on_sync_begin(Hwnd dialog) { return show_phase(dialog, kSyncText); }

int on_sync_progress(Hwnd dialog, int32_t done, int32_t total) {
  int p = percent(done, total);
  load_text(kSyncText);
  std::wstring text = fmt::format(L"{}({}%)", g_message_text, p);
  set_text(dialog, text.c_str());
  return set_bar(dialog, total != 0 ? p : 0);
}

int on_unzip_begin(Hwnd dialog) { return show_phase(dialog, kUnzipText); }

int on_unzip_progress(Hwnd dialog, int32_t done, int32_t total) { return set_bar(dialog, percent(done, total)); }

int on_copy_begin(Hwnd dialog) { return show_phase(dialog, kCopyText); }

int on_copy_progress(Hwnd dialog, int32_t done, int32_t total) { return set_bar(dialog, percent(done, total)); }

int on_update_done(Hwnd dialog, int32_t code) {
  mark_dialog_ended();
  return static_cast<int>(platform::send_message(dialog, platform::WM_COMMAND, platform::IDOK, code));
}

int on_update_error(Hwnd dialog, int32_t string_id) {
  show_error(dialog, string_id);
  platform::sleep_ms(2000);
  mark_dialog_ended();
  return static_cast<int>(platform::send_message(dialog, platform::WM_COMMAND, kErrorCommand, -1));
}
