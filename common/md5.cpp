#include "common/md5.h"

#include <cstdio>
#include <cstring>

#include "common/file_ops.h"

namespace {

inline uint32_t load_le32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);  // this system is little-endian, as the digest's byte order is
  return value;
}

inline void store_le32(unsigned char* p, uint32_t value) { std::memcpy(p, &value, 4); }

inline uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// One step of each round. The word and constant are added first and the part of each auxiliary function that
// does not need b is formed before it, so that little waits for the previous step; G's two halves have no bit in
// common, so they can be added one after the other.
#define MD5_STEP_F(a, b, c, d, word, constant, shift) \
  a += (word) + (constant);                          \
  a += (((c) ^ (d)) & (b)) ^ (d);                    \
  a = rotate_left(a, shift) + (b)
#define MD5_STEP_G(a, b, c, d, word, constant, shift) \
  a += (word) + (constant);                          \
  a += (c) & ~(d);                                   \
  a += (b) & (d);                                    \
  a = rotate_left(a, shift) + (b)
#define MD5_STEP_H(a, b, c, d, word, constant, shift) \
  a += (word) + (constant);                          \
  a += ((c) ^ (d)) ^ (b);                            \
  a = rotate_left(a, shift) + (b)
#define MD5_STEP_I(a, b, c, d, word, constant, shift) \
  a += (word) + (constant);                          \
  a += ((b) | ~(d)) ^ (c);                           \
  a = rotate_left(a, shift) + (b)

void compress(uint32_t state[4], const unsigned char* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = load_le32(block + 4 * i);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP_F(a, b, c, d, x[0], 0xd76aa478, 7);
  MD5_STEP_F(d, a, b, c, x[1], 0xe8c7b756, 12);
  MD5_STEP_F(c, d, a, b, x[2], 0x242070db, 17);
  MD5_STEP_F(b, c, d, a, x[3], 0xc1bdceee, 22);
  MD5_STEP_F(a, b, c, d, x[4], 0xf57c0faf, 7);
  MD5_STEP_F(d, a, b, c, x[5], 0x4787c62a, 12);
  MD5_STEP_F(c, d, a, b, x[6], 0xa8304613, 17);
  MD5_STEP_F(b, c, d, a, x[7], 0xfd469501, 22);
  MD5_STEP_F(a, b, c, d, x[8], 0x698098d8, 7);
  MD5_STEP_F(d, a, b, c, x[9], 0x8b44f7af, 12);
  MD5_STEP_F(c, d, a, b, x[10], 0xffff5bb1, 17);
  MD5_STEP_F(b, c, d, a, x[11], 0x895cd7be, 22);
  MD5_STEP_F(a, b, c, d, x[12], 0x6b901122, 7);
  MD5_STEP_F(d, a, b, c, x[13], 0xfd987193, 12);
  MD5_STEP_F(c, d, a, b, x[14], 0xa679438e, 17);
  MD5_STEP_F(b, c, d, a, x[15], 0x49b40821, 22);

  MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
  MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
  MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
  MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
  MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
  MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
  MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
  MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
  MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
  MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
  MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
  MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
  MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
  MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
  MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
  MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

  MD5_STEP_H(a, b, c, d, x[5], 0xfffa3942, 4);
  MD5_STEP_H(d, a, b, c, x[8], 0x8771f681, 11);
  MD5_STEP_H(c, d, a, b, x[11], 0x6d9d6122, 16);
  MD5_STEP_H(b, c, d, a, x[14], 0xfde5380c, 23);
  MD5_STEP_H(a, b, c, d, x[1], 0xa4beea44, 4);
  MD5_STEP_H(d, a, b, c, x[4], 0x4bdecfa9, 11);
  MD5_STEP_H(c, d, a, b, x[7], 0xf6bb4b60, 16);
  MD5_STEP_H(b, c, d, a, x[10], 0xbebfbc70, 23);
  MD5_STEP_H(a, b, c, d, x[13], 0x289b7ec6, 4);
  MD5_STEP_H(d, a, b, c, x[0], 0xeaa127fa, 11);
  MD5_STEP_H(c, d, a, b, x[3], 0xd4ef3085, 16);
  MD5_STEP_H(b, c, d, a, x[6], 0x04881d05, 23);
  MD5_STEP_H(a, b, c, d, x[9], 0xd9d4d039, 4);
  MD5_STEP_H(d, a, b, c, x[12], 0xe6db99e5, 11);
  MD5_STEP_H(c, d, a, b, x[15], 0x1fa27cf8, 16);
  MD5_STEP_H(b, c, d, a, x[2], 0xc4ac5665, 23);

  MD5_STEP_I(a, b, c, d, x[0], 0xf4292244, 6);
  MD5_STEP_I(d, a, b, c, x[7], 0x432aff97, 10);
  MD5_STEP_I(c, d, a, b, x[14], 0xab9423a7, 15);
  MD5_STEP_I(b, c, d, a, x[5], 0xfc93a039, 21);
  MD5_STEP_I(a, b, c, d, x[12], 0x655b59c3, 6);
  MD5_STEP_I(d, a, b, c, x[3], 0x8f0ccc92, 10);
  MD5_STEP_I(c, d, a, b, x[10], 0xffeff47d, 15);
  MD5_STEP_I(b, c, d, a, x[1], 0x85845dd1, 21);
  MD5_STEP_I(a, b, c, d, x[8], 0x6fa87e4f, 6);
  MD5_STEP_I(d, a, b, c, x[15], 0xfe2ce6e0, 10);
  MD5_STEP_I(c, d, a, b, x[6], 0xa3014314, 15);
  MD5_STEP_I(b, c, d, a, x[13], 0x4e0811a1, 21);
  MD5_STEP_I(a, b, c, d, x[4], 0xf7537e82, 6);
  MD5_STEP_I(d, a, b, c, x[11], 0xbd3af235, 10);
  MD5_STEP_I(c, d, a, b, x[2], 0x2ad7d2bb, 15);
  MD5_STEP_I(b, c, d, a, x[9], 0xeb86d391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5_STEP_I
#undef MD5_STEP_H
#undef MD5_STEP_G
#undef MD5_STEP_F

}  // namespace

void md5_init(Md5Context& context) {
  context.count[0] = 0;
  context.count[1] = 0;
  context.state[0] = 0x67452301;
  context.state[1] = 0xefcdab89;
  context.state[2] = 0x98badcfe;
  context.state[3] = 0x10325476;
}

const unsigned char* md5_transform(Md5Context& context, const unsigned char* data, uint32_t length) {
  for (const unsigned char* end = data + (length & ~63u); data < end; data += 64) {
    compress(context.state, data);
  }
  return data;
}

void md5_update(Md5Context& context, const unsigned char* data, uint32_t length) {
  uint32_t used = context.count[0] & 63;
  uint64_t low = static_cast<uint64_t>(context.count[0]) + (length & 0x1FFFFFFF);
  context.count[0] = static_cast<uint32_t>(low & 0x1FFFFFFF);
  context.count[1] += static_cast<uint32_t>(low >> 29) + (length >> 29);

  if (used != 0) {
    uint32_t room = 64 - used;
    if (length < room) {
      std::memcpy(context.buffer + used, data, length);
      return;
    }
    std::memcpy(context.buffer + used, data, room);
    md5_transform(context, context.buffer, 64);
    data += room;
    length -= room;
  }
  if (length >= 64) {
    data = md5_transform(context, data, length & ~63u);
    length &= 63;
  }
  std::memcpy(context.buffer, data, length);
}

void md5_final(unsigned char digest[16], Md5Context& context) {
  uint32_t used = context.count[0] & 63;
  uint32_t bits_low = context.count[0] << 3;
  uint32_t bits_high = context.count[1];
  context.buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(context.buffer + used, 0, 64 - used);
    md5_transform(context, context.buffer, 64);
    used = 0;
  }
  std::memset(context.buffer + used, 0, 56 - used);
  store_le32(context.buffer + 56, bits_low);
  store_le32(context.buffer + 60, bits_high);
  md5_transform(context, context.buffer, 64);
  for (int i = 0; i < 4; ++i) {
    store_le32(digest + 4 * i, context.state[i]);
  }
  std::memset(&context, 0, sizeof context);
}

void md5_string(const char* text, unsigned char digest[16]) {
  Md5Context context;
  md5_init(context);
  md5_update(context, reinterpret_cast<const unsigned char*>(text), static_cast<uint32_t>(std::strlen(text)));
  md5_final(digest, context);
}

bool md5_file(const char* relative_path, unsigned char digest[16]) {
  FILE* file = fopen_cwd(relative_path, "rb");
  if (file == nullptr) {
    return false;
  }
  Md5Context context;
  md5_init(context);
  // Larger than the customary 1,024 bytes: fewer reads, the same digest.
  static constexpr size_t kBlock = 65536;
  unsigned char block[kBlock];
  for (size_t read; (read = std::fread(block, 1, kBlock, file)) > 0;) {
    md5_update(context, block, static_cast<uint32_t>(read));
  }
  md5_final(digest, context);
  std::fclose(file);
  return true;
}

void md5_print(const char* relative_path, bool opened, const unsigned char digest[16]) {
  if (!opened) {
    std::printf("%s can't be opened\n", relative_path);
    return;
  }
  std::printf("aaaMD5 (%s) = ", relative_path);
  for (int i = 0; i < 16; ++i) {
    std::printf("%02x", digest[i]);
  }
  std::printf("\n");
}

void md5_file_print(const char* relative_path, unsigned char digest[16]) {
  md5_print(relative_path, md5_file(relative_path, digest), digest);
}

void md5_to_hex(const unsigned char digest[16], char hex[33]) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0xF];
  }
  hex[32] = 0;
}
