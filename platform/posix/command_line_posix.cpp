#include "platform/command_line.h"

#include <cstddef>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[at]; overlong forms, surrogates and values past U+10FFFF are invalid, and
// an invalid sequence consumes one byte.
char32_t decode_one(const std::string& text, size_t& at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++at;
    return kReplacement;
  }
  if (at + length > text.size()) {
    ++at;
    return kReplacement;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++at;
    return kReplacement;
  }
  at += length;
  return value;
}

void append_utf16(std::u16string& out, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const char32_t value = decode_one(text, at);
    if (value >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
  }
}

}  // namespace

std::u16string command_line(int argc, const char* const* argv) {
  std::u16string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) {
      line.push_back(u' ');
    }
    append_utf16(line, argv[i] != nullptr ? argv[i] : "");
  }
  return line;
}

}  // namespace platform
