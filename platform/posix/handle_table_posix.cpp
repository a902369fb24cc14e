#include "platform/posix/handle_table_posix.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/errors.h"

namespace platform::posix {
namespace {

struct Entry {
  HandleKind kind;
  std::shared_ptr<void> object;
};

struct Table {
  std::mutex lock;
  std::unordered_map<uintptr_t, Entry> entries;
  uintptr_t next = 0;
};

// Never destroyed: handles may be closed by threads still running at exit.
Table& table() {
  static Table* instance = new Table;
  return *instance;
}

}  // namespace

Handle insert_handle(HandleKind kind, std::shared_ptr<void> object) {
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  // Multiples of 4 as on Windows, never given out twice.
  t.next += 4;
  t.entries.emplace(t.next, Entry{kind, std::move(object)});
  return reinterpret_cast<Handle>(t.next);
}

std::shared_ptr<void> find_handle(Handle handle, HandleKind kind) {
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.entries.end() || it->second.kind != kind) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second.object;
}

bool handle_kind(Handle handle, HandleKind* kind) {
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.entries.end()) {
    return false;
  }
  *kind = it->second.kind;
  return true;
}

}  // namespace platform::posix

namespace platform {

bool close_handle(Handle handle) {
  std::shared_ptr<void> object;
  {
    posix::Table& t = posix::table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end()) {
      set_last_error(ERROR_INVALID_HANDLE);
      return false;
    }
    object = std::move(it->second.object);
    t.entries.erase(it);
  }
  // The object's own destructor lets go of what it holds (lock files, descriptors), outside the table's lock.
  object.reset();
  return true;
}

}  // namespace platform
