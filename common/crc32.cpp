#include "common/crc32.h"

#include <cstdio>

#include "common/crc32_kernels.h"
#include "common/file_ops.h"

uint32_t g_crc32_table[256];

void crc32_build_table() {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t value = n;
    for (int step = 0; step < 8; ++step) {
      value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
    }
    g_crc32_table[n] = value;
  }
}

uint32_t crc32_update(uint32_t crc, const unsigned char* data, uint32_t length) {
  // The tables are built once (first use), so threads computing CRCs never write them while others read.
  return crc32_fold_available() ? crc32_fold(crc, data, length) : crc32_slice16(crc, data, length);
}

uint32_t crc32_file(const char* relative_path) {
  FILE* file = fopen_cwd(relative_path, "rb");
  if (file == nullptr) {
    std::printf("%s can't be opened\n", relative_path);
    return 0xFFFFFFFF;
  }
  static constexpr size_t kBlock = 65536;
  unsigned char block[kBlock];
  uint32_t crc = 0xFFFFFFFF;
  for (;;) {
    size_t read = std::fread(block, 1, kBlock, file);
    if (read > 0) {
      crc = crc32_update(crc, block, static_cast<uint32_t>(read));
      continue;
    }
    if (!std::feof(file)) {
      std::fclose(file);
      return 0xFFFFFFFF;
    }
    break;
  }
  std::fclose(file);
  return ~crc;
}
