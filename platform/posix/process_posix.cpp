#include "platform/process.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/posix/errno_map_posix.h"
#include "platform/posix/handle_table_posix.h"
#include "platform/posix/waitable_posix.h"
#include "platform/sync.h"

namespace platform {
namespace {

struct Snapshot {
  std::vector<ProcessEntry> entries;
  size_t next = 0;
};

struct ProcessObject {
  uint32_t process_id = 0;
  int pidfd = -1;  // -1 where the kernel has no process descriptors: the id alone is used then
  ~ProcessObject() {
    if (pidfd >= 0) {
      close(pidfd);
    }
  }
};

struct ThreadObject {
  std::mutex lock;
  std::condition_variable ended_signal;
  bool ended = false;
};

struct TestClock {
  std::atomic<bool> on{false};
  std::atomic<uint64_t> now_ms{0};
};

TestClock& test_clock() {
  static TestClock* clock = [] {
    auto* made = new TestClock;
    if (const char* start = std::getenv("ZANTHO_TEST_CLOCK")) {
      made->now_ms = std::strtoull(start, nullptr, 10);
      made->on = true;
    }
    return made;
  }();
  return *clock;
}

uint64_t real_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable's file name as Windows lists it: from the image's path, else (another user's process) the
// program name it was started with, else the kernel's short name.
std::string exe_file_of(const std::string& proc_dir, const std::string& short_name) {
  char target[4096];
  ssize_t length = readlink((proc_dir + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.erase(path.size() - deleted.size());
    }
    return base_name(path);
  }
  std::string command_line = read_text(proc_dir + "/cmdline");
  std::string first = command_line.substr(0, command_line.find('\0'));
  return first.empty() ? short_name : base_name(first);
}

// One platform state directory stands for one machine: with ZANTHO_PLATFORM_DIR set, a process belongs to it
// when it was started with the same value, so programs of tests that run side by side stay apart.
bool on_this_machine(uint32_t process_id, const std::string& proc_dir) {
  const char* own = std::getenv("ZANTHO_PLATFORM_DIR");
  if (own == nullptr || process_id == static_cast<uint32_t>(getpid())) {
    return true;
  }
  const std::string wanted = std::string("ZANTHO_PLATFORM_DIR=") + own;
  std::string environment = read_text(proc_dir + "/environ");
  for (size_t start = 0; start < environment.size();) {
    size_t end = environment.find('\0', start);
    if (end == std::string::npos) {
      end = environment.size();
    }
    if (environment.compare(start, end - start, wanted) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool read_entry(uint32_t process_id, ProcessEntry* entry) {
  std::string proc_dir = "/proc/" + std::to_string(process_id);
  std::string stat = read_text(proc_dir + "/stat");
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return false;
  }
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  uint32_t parent = 0;
  rest >> state >> parent;
  // A process that has ended is no longer listed, even while nobody has collected its exit status.
  if (state == "Z" || state == "X" || !on_this_machine(process_id, proc_dir)) {
    return false;
  }
  entry->process_id = process_id;
  entry->parent_process_id = parent;
  entry->exe_file = exe_file_of(proc_dir, stat.substr(open + 1, close - open - 1));
  return true;
}

// Waits up to wait_ms for the process to end; an ended process that nobody has reaped counts as ended.
bool process_ended(const ProcessObject& process, int wait_ms) {
  if (process.pidfd >= 0) {
    struct pollfd ready = {process.pidfd, POLLIN, 0};
    return poll(&ready, 1, wait_ms) > 0;
  }
  std::string state = read_text("/proc/" + std::to_string(process.process_id) + "/stat");
  size_t close = state.rfind(')');
  if (close == std::string::npos || state.compare(close, 3, ") Z") == 0) {
    return true;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms < 10 ? wait_ms : 10));
  return false;
}

bool next_entry(Handle handle, ProcessEntry* entry, bool first) {
  auto snapshot = posix::find_handle_as<Snapshot>(handle, posix::HandleKind::snapshot);
  if (!snapshot) {
    return false;
  }
  if (first) {
    snapshot->next = 0;
  }
  if (snapshot->next >= snapshot->entries.size()) {
    set_last_error(ERROR_NO_MORE_FILES);
    return false;
  }
  *entry = snapshot->entries[snapshot->next++];
  return true;
}

}  // namespace

uint32_t get_module_file_name(char16_t* buffer, uint32_t size) {
  char target[4096];
  ssize_t length = readlink("/proc/self/exe", target, sizeof target - 1);
  if (length <= 0) {
    posix::fail_from_errno();
    return 0;
  }
  target[length] = 0;
  int needed = multi_byte_to_wide_char(CP_UTF8, 0, target, -1, nullptr, 0);
  if (needed <= 0 || buffer == nullptr || size == 0) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  multi_byte_to_wide_char(CP_UTF8, 0, target, -1, wide.data(), needed);
  uint32_t characters = static_cast<uint32_t>(needed - 1);
  if (characters >= size) {
    std::memcpy(buffer, wide.data(), (size - 1) * sizeof(char16_t));
    buffer[size - 1] = 0;
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, wide.data(), (characters + 1) * sizeof(char16_t));
  set_last_error(ERROR_SUCCESS);
  return characters;
}

uint32_t get_current_process_id() { return static_cast<uint32_t>(getpid()); }

Handle create_process_snapshot() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    posix::fail_from_errno();
    return nullptr;
  }
  auto snapshot = std::make_shared<Snapshot>();
  while (struct dirent* found = readdir(proc)) {
    char* end = nullptr;
    unsigned long id = std::strtoul(found->d_name, &end, 10);
    ProcessEntry entry;
    if (end != found->d_name && *end == 0 && read_entry(static_cast<uint32_t>(id), &entry)) {
      snapshot->entries.push_back(entry);
    }
  }
  closedir(proc);
  return posix::insert_handle(posix::HandleKind::snapshot, snapshot);
}

bool process_first(Handle snapshot, ProcessEntry* entry) { return next_entry(snapshot, entry, true); }

bool process_next(Handle snapshot, ProcessEntry* entry) { return next_entry(snapshot, entry, false); }

Handle open_process(uint32_t process_id) {
  auto process = std::make_shared<ProcessObject>();
  process->process_id = process_id;
  if (process_id == 0 || process_id > 0x7FFFFFFF) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  process->pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0));
  if (process->pidfd < 0) {
    if (errno != ENOSYS || kill(static_cast<pid_t>(process_id), 0) != 0) {
      set_last_error(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  return posix::insert_handle(posix::HandleKind::process, process);
}

bool terminate_process(Handle handle, uint32_t /*exit_code*/) {
  auto process = posix::find_handle_as<ProcessObject>(handle, posix::HandleKind::process);
  if (!process) {
    return false;
  }
  long result = process->pidfd >= 0 ? syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0)
                                    : kill(static_cast<pid_t>(process->process_id), SIGKILL);
  if (result != 0) {
    set_last_error(ERROR_ACCESS_DENIED);  // as Windows reports a process that has already ended
    return false;
  }
  return true;
}

uint32_t get_process_id(Handle handle) {
  auto process = posix::find_handle_as<ProcessObject>(handle, posix::HandleKind::process);
  return process ? process->process_id : 0;
}

bool get_named_pipe_client_process_id(Handle /*pipe*/, uint32_t* /*process_id*/) {
  set_last_error(ERROR_NOT_SUPPORTED);
  return false;
}

Handle create_thread(uint32_t (*function)(void*), void* argument) {
  if (function == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadObject>();
  try {
    std::thread([state, function, argument] {
      function(argument);
      std::lock_guard<std::mutex> guard(state->lock);
      state->ended = true;
      state->ended_signal.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return posix::insert_handle(posix::HandleKind::thread, state);
}

void sleep_ms(uint32_t milliseconds) {
  TestClock& clock = test_clock();
  if (clock.on) {
    clock.now_ms += milliseconds;
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t tick_count64() {
  TestClock& clock = test_clock();
  return clock.on ? clock.now_ms.load() : real_ns() / 1000000;
}

uint32_t tick_count() { return static_cast<uint32_t>(tick_count64()); }

uint64_t monotonic_ns() {
  TestClock& clock = test_clock();
  return clock.on ? clock.now_ms.load() * 1000000 : real_ns();
}

void use_test_clock(bool on, uint64_t start_ms) {
  TestClock& clock = test_clock();
  clock.now_ms = start_ms;
  clock.on = on;
}

void advance_test_clock(uint64_t milliseconds) { test_clock().now_ms += milliseconds; }

bool test_clock_on() { return test_clock().on; }

namespace posix {

uint64_t real_clock_ms() { return real_ns() / 1000000; }

bool wait_ends_at_once(uint32_t timeout_ms, uint32_t* result) {
  if (timeout_ms == 0 || (timeout_ms != INFINITE && test_clock_on())) {
    advance_test_clock(test_clock_on() ? timeout_ms : 0);
    *result = WAIT_TIMEOUT;
    return true;
  }
  return false;
}

uint32_t wait_thread_object(const std::shared_ptr<void>& object, uint32_t timeout_ms) {
  auto* thread = static_cast<ThreadObject*>(object.get());
  std::unique_lock<std::mutex> guard(thread->lock);
  if (thread->ended) {
    return WAIT_OBJECT_0;
  }
  if (timeout_ms == INFINITE) {
    thread->ended_signal.wait(guard, [thread] { return thread->ended; });
    return WAIT_OBJECT_0;
  }
  uint32_t result;
  if (wait_ends_at_once(timeout_ms, &result)) {
    return result;
  }
  bool ended = thread->ended_signal.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                             [thread] { return thread->ended; });
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

uint32_t wait_process_object(const std::shared_ptr<void>& object, uint32_t timeout_ms) {
  auto* process = static_cast<ProcessObject*>(object.get());
  if (process_ended(*process, 0)) {
    return WAIT_OBJECT_0;
  }
  uint32_t result;
  if (wait_ends_at_once(timeout_ms, &result)) {
    return result;
  }
  uint64_t deadline = real_clock_ms() + timeout_ms;
  for (;;) {
    uint64_t now = real_clock_ms();
    uint64_t left = timeout_ms == INFINITE ? 1000 : (now >= deadline ? 0 : deadline - now);
    if (left == 0) {
      return WAIT_TIMEOUT;
    }
    if (process_ended(*process, static_cast<int>(left > 1000 ? 1000 : left))) {
      return WAIT_OBJECT_0;
    }
  }
}

}  // namespace posix
}  // namespace platform
