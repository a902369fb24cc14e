#include "launcher/entry.h"

#include <uv.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/file_ops.h"
#include "common/log.h"
#include "common/module_path.h"
#include "common/single_instance.h"
#include "launcher/command_line.h"
#include "launcher/current_directory.h"
#include "launcher/launch_ui.h"
#include "launcher/process_checks.h"
#include "launcher/ui_texts.h"
#include "launcher/update_dialog.h"
#include "launcher/update_settings.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/process.h"
#include "resources/resource.h"
#include "update/remove_installed_files.h"
#include "update/run_update.h"

namespace {

constexpr int kDialogTemplate = IDD_UPDATE;
constexpr uint32_t kCaptionString = 201;
constexpr uint32_t kStartFailureString = 210;
constexpr uint32_t kRuntimeMissingString = 233;
constexpr int kWaitPolls = 25;
constexpr uint32_t kWaitPollMs = 400;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The path without its last element and the separators before it; a root keeps its separator.
std::string parent_directory(const std::string& path) {
  size_t last = path.find_last_of("\\/");
  if (last == std::string::npos) {
    return {};
  }
  size_t end = last;
  while (end > 0 && is_separator(path[end - 1])) {
    --end;
  }
  if (end == 0 || path[end - 1] == ':') {
    return path.substr(0, end + 1);
  }
  return path.substr(0, end);
}

void show_error_box(uint32_t string_id) {
  platform::load_string(g_hinstance, string_id, g_message_text, 1024);
  platform::message_box(nullptr, g_message_text, g_error_caption, platform::MB_ICONERROR | platform::MB_OK);
}

std::u16string bin_directory() {
  std::u16string directory = current_directory_wide();
  return directory.empty() ? directory : directory + u"\\bin";
}

// Shows the dialog, then starts the client UI and hands the main thread to the runtime's entry.
int run_dialog_road() {
  intptr_t result = platform::dialog_box_param(g_hinstance, kDialogTemplate, nullptr, update_dialog_proc, 0);

  std::u16string bin = bin_directory();
  platform::set_dll_directory(bin.c_str());
  uv_lib_t runtime{};
  void (*quillon_entry)() = nullptr;
  std::string load_error;
  if (uv_dlopen(platform::resolve_library("quillon.dll").c_str(), &runtime) != 0) {
    load_error = uv_dlerror(&runtime);
    uv_dlclose(&runtime);
  } else if (void* symbol = nullptr; uv_dlsym(&runtime, "QuillonEntry", &symbol) != 0) {
    load_error = uv_dlerror(&runtime);
  } else {
    quillon_entry = reinterpret_cast<void (*)()>(symbol);
  }

  if (launch_ui() != 0) {
    show_error_box(kStartFailureString);
  } else if (quillon_entry) {
    quillon_entry();
  } else {
    // A runtime that cannot be found must not be called; the user is told which component is missing.
    std::printf("%s\n", load_error.c_str());
    show_error_box(kRuntimeMissingString);
  }
  return static_cast<int>(result);
}

}  // namespace

void run_precheck() {
  if (g_launch_mode == kLaunchDefault && (is_ui_running() || is_launcher_running())) {
    std::exit(launch_ui());
  }
  if (g_launch_mode == kLaunchWait && is_ui_running()) {
    for (int poll = 0; poll < kWaitPolls; ++poll) {
      platform::sleep_ms(kWaitPollMs);
      if (!is_ui_running()) {
        break;
      }
    }
    if (is_ui_running()) {
      std::exit(0);
    }
  }
  if (!acquire_single_instance("zantho.exe")) {
    std::exit(-1);
  }
}

void startup_init() {
  // The whole path: one cut to 259 characters names a parent of the program directory. Without the program
  // directory as the current one every relative path would land elsewhere, so nothing at all is done then.
  std::string module_path = get_module_path_whole();
  if (module_path.empty() || !platform::set_current_directory(parent_directory(module_path).c_str())) {
    std::exit(-1);
  }

  run_precheck();

  mkdir_p_cwd("packages");
  mkdir_p_cwd("logs");
  init_logger();
  load_config();

  if (platform::attach_parent_console()) {
    platform::reopen_console_stream(stdout, "CONOUT$", "w");
    platform::reopen_console_stream(stdin, "CONIN$", "r+t");
    platform::reopen_console_stream(stderr, "CONOUT$", "w");
  }
}

int wWinMain(platform::Hinstance instance, platform::Hinstance /*previous*/, char16_t* command_line, int /*show*/) {
  g_hinstance = instance;
  platform::load_string(g_hinstance, kCaptionString, g_error_caption, 100);
  parse_command_line(command_line);
  startup_init();

  int result = 0;
  switch (g_launch_mode) {
    case kLaunchBackground:
      result = run_update(new UiCallbacks, nullptr);
      break;
    case kLaunchRemove:
      remove_installed_files();
      break;
    default:
      result = run_dialog_road();
      break;
  }
  release_single_instance();
  return result;
}
