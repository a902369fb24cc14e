// The wall clock as the C runtime gives it (_time64, _localtime64_s), with a seam that pins it for tests.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// Seconds since 1970 (UTC) by the wall clock, or the pinned value.
int64_t time64();

// Breaks seconds since 1970 down as local time; false when they cannot be represented.
bool local_time64(int64_t seconds, std::tm* out);

// Test seam: time64() gives `seconds` from now on, on every thread; unpin_wall_clock() gives the real clock back.
void pin_wall_clock(int64_t seconds);
void unpin_wall_clock();

}  // namespace platform
