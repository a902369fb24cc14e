#include "update/unix_time.h"

#include <ctime>

namespace {

int64_t (*g_time_source)() = nullptr;

}  // namespace

int32_t unix_time_low32() {
  const int64_t now = g_time_source != nullptr ? g_time_source() : static_cast<int64_t>(std::time(nullptr));
  return static_cast<int32_t>(static_cast<uint32_t>(now));
}

void set_unix_time_source(int64_t (*source)()) { g_time_source = source; }
