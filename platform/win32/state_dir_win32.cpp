#include "platform/state_dir.h"

#include <direct.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

int make_directory(const std::string& path) { return _wmkdir(win32::to_utf16(path).c_str()); }

bool is_directory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(win32::to_utf16(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Every missing level, from the first separator after a drive or share on.
bool make_dirs(const std::string& path) {
  for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos; at = path.find_first_of("\\/", at + 1)) {
    make_directory(path.substr(0, at));
  }
  return make_directory(path) == 0 || is_directory(path);
}

// Letters, digits and ".-_" stay; every other byte becomes %XX, a leading dot too, so no name is "." or "..".
std::string safe_file_name(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || (c == '.' && i > 0);
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += plain ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out.empty() ? std::string("%") : out;
}

}  // namespace

std::string state_dir() {
  std::string configured;
  std::string temp;
  std::string dir = win32::environment_variable("ZANTHO_PLATFORM_DIR", &configured) && !configured.empty()
                        ? configured
                        : (win32::environment_variable("TEMP", &temp) ? temp : std::string(".")) + "\\zantho-platform";
  while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) {
    dir.pop_back();
  }
  return make_dirs(dir) ? dir : std::string();
}

std::string state_path(const std::string& kind, const std::string& name) {
  std::string dir = state_dir();
  if (dir.empty()) {
    return dir;
  }
  std::string kind_dir = dir + "\\" + kind;
  if (make_directory(kind_dir) != 0 && errno != EEXIST) {
    return std::string();
  }
  return kind_dir + "\\" + safe_file_name(name);
}

}  // namespace platform
