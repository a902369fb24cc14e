// MD5 (RFC 1321) of memory and of files, and the digest's hexadecimal form.
#pragma once

#include <cstdint>

struct Md5Context {
  uint32_t count[2];  // bytes processed: low word modulo 2^29, high word the carries and bits above 29
  uint32_t state[4];
  unsigned char buffer[64];
};

void md5_init(Md5Context& context);
void md5_update(Md5Context& context, const unsigned char* data, uint32_t length);
void md5_final(unsigned char digest[16], Md5Context& context);
const unsigned char* md5_transform(Md5Context& context, const unsigned char* data, uint32_t length);
void md5_string(const char* text, unsigned char digest[16]);
// Prints "aaaMD5 (<path>) = <hex>\n"; leaves the digest untouched when the file cannot be opened.
void md5_file_print(const char* relative_path, unsigned char digest[16]);
// md5_file_print in two halves, for callers that hash several files at once and print in order afterwards:
// the digest (false, digest untouched, when the file cannot be opened), then the line for that outcome.
bool md5_file(const char* relative_path, unsigned char digest[16]);
void md5_print(const char* relative_path, bool opened, const unsigned char digest[16]);
void md5_to_hex(const unsigned char digest[16], char hex[33]);
