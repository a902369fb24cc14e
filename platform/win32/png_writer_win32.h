// A PNG file from 32-bit pixels in GDI's order (blue, green, red, unused), for pictures of windows.
#pragma once

#include <cstdint>
#include <string>

namespace platform::win32 {

// Rows top first, width * 4 bytes each; false when the file cannot be written.
bool write_png_bgrx(const std::string& path, const uint8_t* pixels, int width, int height);

}  // namespace platform::win32
