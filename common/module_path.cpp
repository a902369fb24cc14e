#include "common/module_path.h"

#include <cstring>
#include <string>

#include "common/text.h"
#include "platform/process.h"

namespace {

// 259 UTF-16 units give at most 777 bytes of UTF-8 (three per unit, four per pair), so the caller's 778 suffice.
int module_path_utf8(char* output) {
  char16_t wide[260] = {};
  platform::get_module_file_name(wide, 260);
  std::string utf8 = to_utf8(wide);
  std::memcpy(output, utf8.c_str(), utf8.size() + 1);
  return 0;
}

}  // namespace

// The launcher is one image: its module and its executable file are the same.
int get_module_path_utf8(char* output) { return module_path_utf8(output); }

int get_exe_path_utf8(char* output) { return module_path_utf8(output); }

std::string get_module_path_whole() {
  // The usual size first, then Windows' own limit on any path.
  for (uint32_t capacity : {260u, 32768u}) {
    std::u16string wide(capacity, u'\0');
    uint32_t characters = platform::get_module_file_name(wide.data(), capacity);
    if (characters == 0) {
      return {};
    }
    if (characters < capacity) {
      return to_utf8(wide.c_str());
    }
  }
  return {};
}

int get_module_path_wide(char16_t* output, int32_t* length) {
  char16_t wide[1024] = {};
  platform::get_module_file_name(wide, 1024);
  int32_t characters = 0;
  while (wide[characters] != 0) {
    ++characters;
  }
  *length = characters;
  std::memcpy(output, wide, (static_cast<size_t>(characters) + 1) * sizeof(char16_t));
  return 0;
}
