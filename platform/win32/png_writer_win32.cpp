#include "platform/win32/png_writer_win32.h"

#include <cstdio>
#include <vector>

#include <zlib.h>

#include "platform/win32/utf16_win32.h"

namespace platform::win32 {
namespace {

void put_u32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out->push_back(static_cast<uint8_t>(value >> shift));
  }
}

void put_chunk(std::vector<uint8_t>* out, const char type[4], const std::vector<uint8_t>& data) {
  put_u32(out, static_cast<uint32_t>(data.size()));
  size_t start = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data.begin(), data.end());
  uLong crc = crc32(0L, out->data() + start, static_cast<uInt>(out->size() - start));
  put_u32(out, static_cast<uint32_t>(crc));
}

}  // namespace

bool write_png_bgrx(const std::string& path, const uint8_t* pixels, int width, int height) {
  if (!pixels || width <= 0 || height <= 0) {
    return false;
  }
  // Each row: filter type 0, then red, green, blue.
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (static_cast<size_t>(width) * 3 + 1));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    const uint8_t* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
    for (int x = 0; x < width; ++x) {
      raw.push_back(row[x * 4 + 2]);
      raw.push_back(row[x * 4 + 1]);
      raw.push_back(row[x * 4]);
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) {
    return false;
  }
  packed.resize(packed_size);

  std::vector<uint8_t> header;
  put_u32(&header, static_cast<uint32_t>(width));
  put_u32(&header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, truecolour, deflate, no filter choice, no interlace
  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  put_chunk(&file, "IHDR", header);
  put_chunk(&file, "IDAT", packed);
  put_chunk(&file, "IEND", {});

  std::FILE* out = _wfopen(to_utf16(path).c_str(), L"wb");
  if (!out) {
    return false;
  }
  bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  return std::fclose(out) == 0 && written;
}

}  // namespace platform::win32
