#include "tests/support/platform_dir.h"

#include <cstdlib>
#include <set>
#include <vector>

#include "platform/environment.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

void set_platform_dir(const char* value) { platform::set_environment_variable("ZANTHO_PLATFORM_DIR", value); }

std::vector<uint32_t> snapshot_ids() {
  std::vector<uint32_t> found;
  platform::Handle snapshot = platform::create_process_snapshot();
  platform::ProcessEntry entry;
  for (bool more = platform::process_first(snapshot, &entry); more; more = platform::process_next(snapshot, &entry)) {
    found.push_back(entry.process_id);
  }
  platform::close_handle(snapshot);
  return found;
}

// What ran before the first test set a directory: the tests started none of it. Under Wine the snapshot lists the
// prefix's own processes too (its service manager among them), which must outlive every test.
const std::set<uint32_t>& processes_before_the_tests() {
  static const std::set<uint32_t> before = [] {
    std::vector<uint32_t> ids = snapshot_ids();
    return std::set<uint32_t>(ids.begin(), ids.end());
  }();
  return before;
}

// With the directory set, the snapshot lists only the processes started with it.
std::vector<uint32_t> processes_of_this_machine() {
  std::vector<uint32_t> found;
  for (uint32_t process_id : snapshot_ids()) {
    if (process_id != platform::get_current_process_id() && !processes_before_the_tests().count(process_id)) {
      found.push_back(process_id);
    }
  }
  return found;
}

}  // namespace

ScopedPlatformDir::ScopedPlatformDir(const std::filesystem::path& dir) : dir_(dir) {
  processes_before_the_tests();
  if (const char* previous = std::getenv("ZANTHO_PLATFORM_DIR")) {
    previous_ = previous;
  }
  set_platform_dir(dir.string().c_str());
}

ScopedPlatformDir::~ScopedPlatformDir() {
  end_processes_of(dir_);
  set_platform_dir(previous_ ? previous_->c_str() : nullptr);
}

int end_processes_of(const std::filesystem::path& platform_dir) {
  std::optional<std::string> previous;
  if (const char* value = std::getenv("ZANTHO_PLATFORM_DIR")) {
    previous = value;
  }
  processes_before_the_tests();
  set_platform_dir(platform_dir.string().c_str());
  // The waits below must run on the real clock; the test is over.
  platform::use_test_clock(false);
  // A process may start another while it is being ended (a waiter, a service), so look again until none is left.
  int ended = 0;
  for (int round = 0; round < 10; ++round) {
    std::vector<uint32_t> processes = processes_of_this_machine();
    if (processes.empty()) {
      break;
    }
    for (uint32_t process_id : processes) {
      platform::Handle process = platform::open_process(process_id);
      if (process && platform::terminate_process(process, 1)) {
        platform::wait_for_single_object(process, 5000);
        ++ended;
      }
      platform::close_handle(process);
    }
  }
  set_platform_dir(previous ? previous->c_str() : nullptr);
  return ended;
}
