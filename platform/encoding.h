// Conversion between UTF-16 and UTF-8 with the meaning of WideCharToMultiByte and MultiByteToWideChar.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr uint32_t CP_UTF8 = 65001;
inline constexpr uint32_t WC_ERR_INVALID_CHARS = 0x80;
inline constexpr uint32_t MB_ERR_INVALID_CHARS = 0x8;

// length -1: up to and with the terminator. output null or output_size 0: the size needed. 0 on failure, with
// ERROR_NO_UNICODE_TRANSLATION (invalid input under the ERR flag), ERROR_INSUFFICIENT_BUFFER or
// ERROR_INVALID_PARAMETER. Without the flag, invalid input becomes U+FFFD.
int wide_char_to_multi_byte(uint32_t code_page, uint32_t flags, const char16_t* text, int length, char* output,
                            int output_size);
int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* text, int length, char16_t* output,
                            int output_size);

}  // namespace platform
