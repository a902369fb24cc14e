// CRC-32 (reflected polynomial 0xEDB88320, as zlib and zip) of memory and of files.
#pragma once

#include <cstdint>

extern uint32_t g_crc32_table[256];

void crc32_build_table();
// No pre- or post-inversion: the caller starts with 0xFFFFFFFF and inverts at the end.
uint32_t crc32_update(uint32_t crc, const unsigned char* data, uint32_t length);
// 0xFFFFFFFF when the file cannot be opened or read.
uint32_t crc32_file(const char* relative_path);
