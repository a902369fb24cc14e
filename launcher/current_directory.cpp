#include "launcher/current_directory.h"

#include <cstdint>

#include "platform/files.h"

std::u16string current_directory_wide() {
  char16_t buffer[32767] = {};
  uint32_t length = platform::get_current_directory_w(buffer, 32767);
  return length > 0 && length < 32767 ? std::u16string(buffer, length) : std::u16string();
}
