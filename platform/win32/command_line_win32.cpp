#include "platform/command_line.h"

#include <string>

#include "platform/encoding.h"

namespace platform {

// The process's own line reaches wWinMain from the C runtime; this is the same shape made from given arguments, for
// the parser's tests.
std::u16string command_line(int argc, const char* const* argv) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    joined += (i > 1 ? " " : "") + std::string(argv[i] != nullptr ? argv[i] : "");
  }
  if (joined.empty()) {
    return {};
  }
  const int length = static_cast<int>(joined.size());
  std::u16string line(static_cast<size_t>(multi_byte_to_wide_char(CP_UTF8, 0, joined.data(), length, nullptr, 0)),
                      u'\0');
  multi_byte_to_wide_char(CP_UTF8, 0, joined.data(), length, line.data(), static_cast<int>(line.size()));
  return line;
}

}  // namespace platform
