#include "platform/wall_clock.h"

#include <atomic>
#include <ctime>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {
std::atomic<bool> g_pinned{false};
std::atomic<int64_t> g_pinned_seconds{0};
}  // namespace

int64_t time64() { return g_pinned.load() ? g_pinned_seconds.load() : static_cast<int64_t>(_time64(nullptr)); }

bool local_time64(int64_t seconds, std::tm* out) {
  __time64_t value = seconds;
  return _localtime64_s(out, &value) == 0;
}

void pin_wall_clock(int64_t seconds) {
  g_pinned_seconds.store(seconds);
  g_pinned.store(true);
}

void unpin_wall_clock() { g_pinned.store(false); }

}  // namespace platform
