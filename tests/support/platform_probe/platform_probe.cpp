// Acts on the platform's named objects from a process of its own, so tests see them across processes.
//   platform_probe mutex <name> <report file> <hold ms>   create the mutex, report "created"/"existed", hold it
//   platform_probe event <name> <report file> <hold ms>   create a manual-reset event set from the start, hold it
//   platform_probe set-event <name>                        open the event and set it; exit 0, or 1 if not found
//   platform_probe module-path <report file>               report get_module_path_utf8
//   platform_probe echo-args <report file> <argument>...   report the arguments as received, joined by "|"
// A report file holds the process id on its first line and the result on the second; it appears whole (written
// beside it, then renamed). Holding ends by itself after the hold time, so a test that fails leaves nothing behind.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/module_path.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

void report(const std::string& path, const std::string& result) {
  std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << platform::get_current_process_id() << "\n" << result << "\n";
  }
  std::filesystem::rename(partial, path);
}

int hold(platform::Handle handle, const char* report_path, const char* hold_ms, const char* result) {
  if (handle == nullptr) {
    report(report_path, "failed");
    return 1;
  }
  report(report_path, result);
  platform::sleep_ms(static_cast<uint32_t>(std::strtoul(hold_ms, nullptr, 10)));
  platform::close_handle(handle);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "mutex" && argc == 5) {
    platform::Handle mutex = platform::create_mutex(argv[2], false);
    bool existed = platform::last_error() == platform::ERROR_ALREADY_EXISTS;
    return hold(mutex, argv[3], argv[4], existed ? "existed" : "created");
  }
  if (command == "event" && argc == 5) {
    platform::Handle event = platform::create_event(argv[2], true, true);
    return hold(event, argv[3], argv[4], "created");
  }
  if (command == "set-event" && argc == 3) {
    platform::Handle event = platform::open_event(argv[2]);
    if (event == nullptr) {
      return 1;
    }
    bool set = platform::set_event(event);
    platform::close_handle(event);
    return set ? 0 : 2;
  }
  if (command == "module-path" && argc == 3) {
    char path[778];
    get_module_path_utf8(path);
    report(argv[2], path);
    return 0;
  }
  if (command == "echo-args" && argc >= 3) {
    std::string received;
    for (int i = 3; i < argc; ++i) received += (i > 3 ? "|" : "") + std::string(argv[i]);
    report(argv[2], received);
    return 0;
  }
  return 64;
}
