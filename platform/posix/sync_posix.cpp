#include "platform/sync.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/posix/errno_map_posix.h"
#include "platform/posix/handle_table_posix.h"
#include "platform/posix/waitable_posix.h"
#include "platform/process.h"
#include "platform/state_dir.h"

namespace platform {
namespace {

// A named object is a file in the state directory; every handle holds a shared flock on it, so the object
// exists exactly while some process holds one, and a killed holder lets go with its descriptors.
struct NamedFile {
  int fd = -1;
  ~NamedFile() {
    if (fd >= 0) {
      close(fd);
    }
  }
};

struct MutexObject {
  NamedFile file;
};

// The state an event's handles share, in a mapped page of its file (or anonymous memory when unnamed).
struct EventState {
  std::atomic<uint32_t> signaled;
  std::atomic<uint32_t> manual_reset;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
constexpr size_t kEventFileSize = 4096;

struct EventObject {
  NamedFile file;
  EventState* state = nullptr;
  ~EventObject() {
    if (state != nullptr) {
      munmap(state, kEventFileSize);
    }
  }
};

int flock_retrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

enum class Opened { failed, created, existed, absent };

// Opens the object's file and takes a shared hold on it. Under one gate lock for the directory, so that telling
// "no holder yet" (an exclusive lock can be had) from "held" is not raced by another opener; the first holder
// may set the object up (first_holder) before the others can see it.
template <typename Setup>
Opened open_named(const char* kind, const char* name, bool create, NamedFile* file, Setup first_holder) {
  std::string path = state_path(kind, name);
  std::string gate_path = state_path(kind, ".gate");
  if (path.empty() || gate_path.empty()) {
    set_last_error(ERROR_PATH_NOT_FOUND);
    return Opened::failed;
  }
  NamedFile gate;
  gate.fd = open(gate_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  file->fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
  if (file->fd < 0 && !create && errno == ENOENT) {
    set_last_error(ERROR_FILE_NOT_FOUND);
    return Opened::absent;
  }
  if (gate.fd < 0 || file->fd < 0 || flock_retrying(gate.fd, LOCK_EX) != 0) {
    posix::fail_from_errno();
    return Opened::failed;
  }
  if (flock_retrying(file->fd, LOCK_EX | LOCK_NB) == 0) {
    if (!create) {
      flock_retrying(file->fd, LOCK_UN);
      set_last_error(ERROR_FILE_NOT_FOUND);
      return Opened::absent;
    }
    if (!first_holder(file->fd) || flock_retrying(file->fd, LOCK_SH) != 0) {
      posix::fail_from_errno();
      return Opened::failed;
    }
    return Opened::created;
  }
  if (errno != EWOULDBLOCK || flock_retrying(file->fd, LOCK_SH) != 0) {
    posix::fail_from_errno();
    return Opened::failed;
  }
  return Opened::existed;
}

long futex(std::atomic<uint32_t>* word, int operation, uint32_t value, const struct timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), operation, value, timeout, nullptr, 0);
}

bool take_signal(EventState* state) {
  if (state->manual_reset.load()) {
    return state->signaled.load() != 0;
  }
  uint32_t expected = 1;
  return state->signaled.compare_exchange_strong(expected, 0);
}

uint32_t wait_event(const std::shared_ptr<EventObject>& event, uint32_t timeout_ms) {
  EventState* state = event->state;
  if (take_signal(state)) {
    return WAIT_OBJECT_0;
  }
  uint32_t result;
  if (posix::wait_ends_at_once(timeout_ms, &result)) {
    return result;
  }
  uint64_t deadline = posix::real_clock_ms() + timeout_ms;
  for (;;) {
    struct timespec slice = {1, 0};
    if (timeout_ms != INFINITE) {
      uint64_t now = posix::real_clock_ms();
      if (now >= deadline) {
        return WAIT_TIMEOUT;
      }
      uint64_t left = deadline - now;
      slice.tv_sec = static_cast<time_t>(left / 1000);
      slice.tv_nsec = static_cast<long>(left % 1000) * 1000000;
    }
    // The word is shared between processes, so no private futex.
    futex(&state->signaled, FUTEX_WAIT, 0, &slice);
    if (take_signal(state)) {
      return WAIT_OBJECT_0;
    }
  }
}

}  // namespace

Handle create_mutex(const char* name, bool /*initial_owner*/) {
  auto mutex = std::make_shared<MutexObject>();
  Opened opened = Opened::created;
  if (name != nullptr) {
    opened = open_named("mutex", name, true, &mutex->file, [](int) { return true; });
    if (opened == Opened::failed) {
      return nullptr;
    }
  }
  Handle handle = posix::insert_handle(posix::HandleKind::mutex, mutex);
  set_last_error(opened == Opened::existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

Handle create_event(const char* name, bool manual_reset, bool initial_state) {
  auto event = std::make_shared<EventObject>();
  Opened opened = Opened::created;
  void* memory = MAP_FAILED;
  if (name == nullptr) {
    memory = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  } else {
    auto set_up = [&](int fd) {
      if (ftruncate(fd, 0) != 0 || ftruncate(fd, kEventFileSize) != 0) {
        return false;
      }
      memory = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      return memory != MAP_FAILED;
    };
    opened = open_named("event", name, true, &event->file, set_up);
    if (opened == Opened::failed) {
      if (memory != MAP_FAILED) {
        munmap(memory, kEventFileSize);
      }
      return nullptr;
    }
    if (opened == Opened::existed) {
      memory = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, event->file.fd, 0);
    }
  }
  if (memory == MAP_FAILED) {
    posix::fail_from_errno();
    return nullptr;
  }
  event->state = static_cast<EventState*>(memory);
  if (opened == Opened::created) {
    event->state->manual_reset = manual_reset ? 1 : 0;
    event->state->signaled = initial_state ? 1 : 0;
  }
  Handle handle = posix::insert_handle(posix::HandleKind::event, event);
  set_last_error(opened == Opened::existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

Handle open_event(const char* name) {
  if (name == nullptr) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto event = std::make_shared<EventObject>();
  if (open_named("event", name, false, &event->file, [](int) { return true; }) != Opened::existed) {
    return nullptr;
  }
  void* memory = mmap(nullptr, kEventFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, event->file.fd, 0);
  if (memory == MAP_FAILED) {
    posix::fail_from_errno();
    return nullptr;
  }
  event->state = static_cast<EventState*>(memory);
  return posix::insert_handle(posix::HandleKind::event, event);
}

bool set_event(Handle handle) {
  auto event = posix::find_handle_as<EventObject>(handle, posix::HandleKind::event);
  if (!event) {
    return false;
  }
  event->state->signaled = 1;
  futex(&event->state->signaled, FUTEX_WAKE, INT_MAX, nullptr);
  return true;
}

bool reset_event(Handle handle) {
  auto event = posix::find_handle_as<EventObject>(handle, posix::HandleKind::event);
  if (!event) {
    return false;
  }
  event->state->signaled = 0;
  return true;
}

uint32_t wait_for_single_object(Handle handle, uint32_t timeout_ms) {
  posix::HandleKind kind;
  if (!posix::handle_kind(handle, &kind)) {
    set_last_error(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  switch (kind) {
    case posix::HandleKind::event:
      if (auto event = posix::find_handle_as<EventObject>(handle, kind)) {
        return wait_event(event, timeout_ms);
      }
      break;
    case posix::HandleKind::thread:
    case posix::HandleKind::process:
      if (auto object = posix::find_handle(handle, kind)) {
        return kind == posix::HandleKind::thread ? posix::wait_thread_object(object, timeout_ms)
                                                 : posix::wait_process_object(object, timeout_ms);
      }
      break;
    default:
      break;
  }
  set_last_error(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

}  // namespace platform
