#include "platform/command_line.h"

#include <cstring>

#include "platform/encoding.h"

namespace platform {
namespace {

// Without the error flag, bytes that are not UTF-8 become U+FFFD, one for each byte.
void append_utf16(std::u16string& line, const char* argument) {
  const int length = static_cast<int>(std::strlen(argument));
  if (length == 0) {
    return;
  }
  const int needed = multi_byte_to_wide_char(CP_UTF8, 0, argument, length, nullptr, 0);
  const size_t at = line.size();
  line.resize(at + static_cast<size_t>(needed));
  multi_byte_to_wide_char(CP_UTF8, 0, argument, length, line.data() + at, needed);
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
