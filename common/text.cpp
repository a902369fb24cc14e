#include "common/text.h"

#include <vector>

#include "platform/encoding.h"

std::string to_utf8(const char16_t* text) {
  if (text == nullptr || *text == 0) {
    return std::string();
  }
  constexpr int kMaxCharacters = 2147483646;
  int count = 0;
  while (count < kMaxCharacters && text[count] != 0) {
    ++count;
  }
  if (text[count] != 0) {
    return std::string();
  }
  const uint32_t flags = platform::WC_ERR_INVALID_CHARS;
  int size = platform::wide_char_to_multi_byte(platform::CP_UTF8, flags, text, count + 1, nullptr, 0);
  if (size == 0) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  if (platform::wide_char_to_multi_byte(platform::CP_UTF8, flags, text, count + 1, buffer.data(), size) == 0) {
    return std::string();
  }
  return std::string(buffer.data());
}
