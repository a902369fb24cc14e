#include "platform/wall_clock.h"

#include <atomic>
#include <ctime>

namespace platform {
namespace {
std::atomic<bool> g_pinned{false};
std::atomic<int64_t> g_pinned_seconds{0};
}  // namespace

int64_t time64() {
  if (g_pinned.load()) {
    return g_pinned_seconds.load();
  }
  return static_cast<int64_t>(::time(nullptr));
}

bool local_time64(int64_t seconds, std::tm* out) {
  time_t value = static_cast<time_t>(seconds);
  return ::localtime_r(&value, out) != nullptr;
}

void pin_wall_clock(int64_t seconds) {
  g_pinned_seconds.store(seconds);
  g_pinned.store(true);
}

void unpin_wall_clock() { g_pinned.store(false); }

}  // namespace platform
