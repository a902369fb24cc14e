#include "common/crc32_kernels.h"

#include <cstring>
#include <mutex>

#include "common/crc32.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// slice[k][n]: the CRC of byte n followed by k zero bytes; slice[0] is the byte-wise table.
uint32_t g_slice_tables[16][256];

const uint32_t (&slices())[16][256] {
  static std::once_flag built;
  std::call_once(built, [] {
    crc32_build_table();
    std::memcpy(g_slice_tables[0], g_crc32_table, sizeof g_slice_tables[0]);
    for (int n = 0; n < 256; ++n) {
      for (int k = 1; k < 16; ++k) {
        uint32_t previous = g_slice_tables[k - 1][n];
        g_slice_tables[k][n] = (previous >> 8) ^ g_slice_tables[0][previous & 0xFF];
      }
    }
  });
  return g_slice_tables;
}

inline uint32_t load_le32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

}  // namespace

uint32_t crc32_bytewise(uint32_t crc, const unsigned char* data, size_t length) {
  const uint32_t* table = slices()[0];
  for (size_t i = 0; i < length; ++i) {
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

uint32_t crc32_slice16(uint32_t crc, const unsigned char* data, size_t length) {
  const uint32_t (&t)[16][256] = slices();
  for (; length >= 16; length -= 16, data += 16) {
    uint32_t a = load_le32(data) ^ crc;
    uint32_t b = load_le32(data + 4);
    uint32_t c = load_le32(data + 8);
    uint32_t d = load_le32(data + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
  }
  return crc32_bytewise(crc, data, length);
}

#if defined(__x86_64__)

namespace {

inline __m128i load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// One lane moved forward by the distance whose constants "by" holds, plus the data that lie there.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i by, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(lane, by, 0x00);
  __m128i high = _mm_clmulepi64_si128(lane, by, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

}  // namespace

bool crc32_fold_available() {
  static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return available;
}

// Folds 64 bytes at a time in four 128-bit lanes by carry-less multiplication with x^(512+-32) and x^(512+32)
// mod P, then the lanes into one, then Barrett reduction to 32 bits (constants for the reflected 0xEDB88320).
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_fold(uint32_t crc, const unsigned char* data,
                                                              size_t length) {
  if (length < 64) {
    return crc32_slice16(crc, data, length);
  }
  const __m128i fold4 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i fold1 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i fold_32 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(data + 16);
  __m128i x3 = load(data + 32);
  __m128i x4 = load(data + 48);
  data += 64;
  length -= 64;
  for (; length >= 64; data += 64, length -= 64) {
    x1 = fold(x1, fold4, load(data));
    x2 = fold(x2, fold4, load(data + 16));
    x3 = fold(x3, fold4, load(data + 32));
    x4 = fold(x4, fold4, load(data + 48));
  }
  x1 = fold(x1, fold1, x2);
  x1 = fold(x1, fold1, x3);
  x1 = fold(x1, fold1, x4);
  for (; length >= 16; data += 16, length -= 16) {
    x1 = fold(x1, fold1, load(data));
  }

  // 128 bits to 64, then to 32 with 32 zero bits appended, as the CRC register needs.
  __m128i x2b = _mm_clmulepi64_si128(x1, fold1, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  __m128i shifted = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), fold_32, 0x00), shifted);
  __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
  __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
  x1 = _mm_xor_si128(x1, product);
  crc = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
  return crc32_bytewise(crc, data, length);
}

#else

bool crc32_fold_available() { return false; }

uint32_t crc32_fold(uint32_t crc, const unsigned char* data, size_t length) {
  return crc32_slice16(crc, data, length);
}

#endif
