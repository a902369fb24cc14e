// The test seam of the task layer, shared by its implementations: a call named "Class.method" can be made to
// return a chosen HRESULT (set_task_call_fault in tasks.h).
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/tasks.h"

namespace platform::task_call_faults {

struct Table {
  std::mutex mutex;
  std::map<std::string, HRESULT> results;
};

inline Table& table() {
  static Table faults;
  return faults;
}

// True when a test made `call` fail; *result then holds what it returns.
inline bool faulted(const char* call, HRESULT* result) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().results.find(call);
  if (it == table().results.end()) {
    return false;
  }
  *result = it->second;
  return true;
}

inline void set(const char* call, HRESULT result) {
  std::lock_guard<std::mutex> lock(table().mutex);
  table().results[call] = result;
}

inline void clear() {
  std::lock_guard<std::mutex> lock(table().mutex);
  table().results.clear();
}

}  // namespace platform::task_call_faults

// Every call of the layer starts with this, so that a test can make any of them fail.
#define RETURN_IF_FAULTED(call)                                    \
  do {                                                             \
    ::platform::HRESULT fault_result;                              \
    if (::platform::task_call_faults::faulted(call, &fault_result)) { \
      return fault_result;                                         \
    }                                                              \
  } while (false)
