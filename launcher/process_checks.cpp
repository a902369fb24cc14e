#include "launcher/process_checks.h"

#include <cstdio>
#include <cstring>

#include "platform/handle.h"
#include "platform/process.h"

namespace {

constexpr char kLauncherExe[] = "zantho.exe";
constexpr char kUiExe[] = "zanthoui.exe";

// Walks one snapshot until `visit` returns true; false when none did or the snapshot failed.
template <typename Visit>
bool walk_processes(Visit visit) {
  platform::Handle snapshot = platform::create_process_snapshot();
  if (!snapshot) {
    std::printf("CreateToolhelp32Snapshot (of processes) failed");
    return false;
  }
  platform::ProcessEntry entry{};
  if (!platform::process_first(snapshot, &entry)) {
    std::printf("Process32First() failed");
    platform::close_handle(snapshot);
    return false;
  }
  bool found = false;
  do {
    found = visit(entry);
  } while (!found && platform::process_next(snapshot, &entry));
  platform::close_handle(snapshot);
  return found;
}

}  // namespace

bool is_launcher_running() {
  uint32_t own_id = platform::get_current_process_id();
  return walk_processes([own_id](const platform::ProcessEntry& entry) {
    return entry.exe_file == kLauncherExe && entry.process_id != own_id;
  });
}

bool is_ui_running() {
  return walk_processes([](const platform::ProcessEntry& entry) { return entry.exe_file == kUiExe; });
}

void kill_ui_processes() {
  walk_processes([](const platform::ProcessEntry& entry) {
    if (entry.exe_file == kUiExe) {
      if (platform::Handle process = platform::open_process(entry.process_id)) {
        platform::terminate_process(process, 0);
        platform::close_handle(process);
      }
    }
    return false;
  });
}
