// A write stream that takes only so many bytes, as on a full disk: the test seam behind set_disk_full_path_suffix.
// Used by files_win32.cpp only.
#pragma once

#include <cstdint>
#include <cstdio>

namespace platform::win32 {

// A stream whose writes reach `file` until `room` bytes are written; beyond them a write comes out short and
// fails. Takes `file` over (it is closed once the returned stream is closed and everything has reached it); `file`
// itself when the stream cannot be made.
FILE* disk_full_stream(FILE* file, uint64_t room);

}  // namespace platform::win32
