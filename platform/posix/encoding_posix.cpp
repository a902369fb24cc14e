#include "platform/encoding.h"

#include <string>

#include "platform/errors.h"

namespace platform {
namespace {

constexpr uint32_t kCpAcp = 0;  // the ANSI code page, which is UTF-8 here
constexpr char32_t kReplacement = 0xFFFD;

bool valid_arguments(uint32_t code_page, const void* text, int length, const void* output, int output_size) {
  if ((code_page != CP_UTF8 && code_page != kCpAcp) || text == nullptr || length == 0 || length < -1 ||
      output_size < 0 || (output == nullptr && output_size != 0)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

// One code point from UTF-8 at text[*at]; false for an invalid sequence (overlong, surrogate, beyond U+10FFFF,
// cut short), after which *at has moved past the first byte only.
bool next_utf8(const unsigned char* text, size_t length, size_t* at, char32_t* c) {
  unsigned char lead = text[*at];
  size_t extra;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *c = lead;
    ++*at;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++*at;
    return false;
  }
  if (*at + extra >= length) {
    ++*at;
    return false;
  }
  for (size_t i = 1; i <= extra; ++i) {
    unsigned char next = text[*at + i];
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return false;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++*at;
    return false;
  }
  *at += extra + 1;
  *c = value;
  return true;
}

template <typename Char, typename String>
int deliver(const String& converted, Char* output, int output_size) {
  if (converted.size() > 0x7FFFFFFF) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int needed = static_cast<int>(converted.size());
  if (output_size == 0) {
    return needed;
  }
  if (needed > output_size) {
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (int i = 0; i < needed; ++i) {
    output[i] = converted[i];
  }
  return needed;
}

// Length -1 means up to the terminator, which is converted too.
template <typename Char>
size_t unit_count(const Char* text, int length) {
  if (length != -1) {
    return static_cast<size_t>(length);
  }
  size_t count = 0;
  while (text[count] != 0) {
    ++count;
  }
  return count + 1;
}

}  // namespace

int wide_char_to_multi_byte(uint32_t code_page, uint32_t flags, const char16_t* text, int length, char* output,
                            int output_size) {
  if (!valid_arguments(code_page, text, length, output, output_size)) {
    return 0;
  }
  size_t count = unit_count(text, length);
  std::string converted;
  for (size_t i = 0; i < count; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (flags & WC_ERR_INVALID_CHARS) {
        set_last_error(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      c = kReplacement;
    }
    append_utf8(converted, c);
  }
  return deliver(converted, output, output_size);
}

int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* text, int length, char16_t* output,
                            int output_size) {
  if (!valid_arguments(code_page, text, length, output, output_size)) {
    return 0;
  }
  size_t count = unit_count(text, length);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  std::u16string converted;
  for (size_t at = 0; at < count;) {
    char32_t c;
    if (!next_utf8(bytes, count, &at, &c)) {
      if (flags & MB_ERR_INVALID_CHARS) {
        set_last_error(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      c = kReplacement;
    }
    append_utf16(converted, c);
  }
  return deliver(converted, output, output_size);
}

}  // namespace platform
