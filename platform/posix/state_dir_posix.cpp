#include "platform/state_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

bool make_dirs(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      std::string level = path.substr(0, at);
      if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Object names may hold "\" and other characters a file name cannot: keep letters, digits and ".-_",
// write every other byte as %XX. A leading dot is encoded too, so no name becomes "." or "..".
std::string safe_file_name(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out.empty() ? std::string("%") : out;
}

}  // namespace

std::string state_dir() {
  const char* configured = std::getenv("ZANTHO_PLATFORM_DIR");
  std::string dir = configured && *configured ? std::string(configured)
                                              : "/tmp/zantho-platform-" + std::to_string(getuid());
  while (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  return make_dirs(dir) ? dir : std::string();
}

std::string state_path(const std::string& kind, const std::string& name) {
  std::string dir = state_dir();
  if (dir.empty()) {
    return dir;
  }
  std::string kind_dir = dir + "/" + kind;
  if (mkdir(kind_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::string();
  }
  return kind_dir + "/" + safe_file_name(name);
}

}  // namespace platform
