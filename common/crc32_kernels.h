// The inner loops behind crc32_update: a carry-less-multiply fold where the processor has one, slicing by 16
// elsewhere, and the byte-wise table for what is left over. Each takes and returns the running CRC, no inversion.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t crc32_bytewise(uint32_t crc, const unsigned char* data, size_t length);
uint32_t crc32_slice16(uint32_t crc, const unsigned char* data, size_t length);
bool crc32_fold_available();
// Only where crc32_fold_available(); any length (the part past the last whole 16 bytes goes byte-wise).
uint32_t crc32_fold(uint32_t crc, const unsigned char* data, size_t length);
