#include "platform/encoding.h"

#include "platform/win32/windows_api.h"

namespace platform {

int wide_char_to_multi_byte(uint32_t code_page, uint32_t flags, const char16_t* text, int length, char* output,
                            int output_size) {
  return WideCharToMultiByte(code_page, flags, reinterpret_cast<const wchar_t*>(text), length, output, output_size,
                             nullptr, nullptr);
}

int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* text, int length, char16_t* output,
                            int output_size) {
  return MultiByteToWideChar(code_page, flags, text, length, reinterpret_cast<wchar_t*>(output), output_size);
}

}  // namespace platform
