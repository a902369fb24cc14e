#include "system/wide_string.h"

#include <cstring>
#include <vector>

#include "platform/encoding.h"

std::u16string utf8_to_wstring(const char* text) {
  if (text == nullptr || *text == '\0') {
    return {};
  }
  size_t length = std::strlen(text);
  if (length >= 2147483646u) {
    return {};
  }
  const int with_terminator = static_cast<int>(length) + 1;
  int count = platform::multi_byte_to_wide_char(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, text,
                                                with_terminator, nullptr, 0);
  if (count == 0) {
    return {};
  }
  std::vector<char16_t> buffer(static_cast<size_t>(count), u'\0');
  if (platform::multi_byte_to_wide_char(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, text, with_terminator,
                                        buffer.data(), count) == 0) {
    return {};
  }
  return std::u16string(buffer.data());
}
