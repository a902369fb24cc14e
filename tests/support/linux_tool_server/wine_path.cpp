#include "tests/support/linux_tool_server/wine_path.h"

#include <cctype>
#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

std::optional<std::string> wine_unix_path(const std::string& windows_path, const fs::path& prefix) {
  std::string path = windows_path;
  for (char& c : path) c = c == '\\' ? '/' : c;
  if (path.rfind("//?/", 0) == 0) path.erase(0, 4);
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' || path[2] != '/')
    return std::nullopt;
  const std::string drive(1, static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))));
  std::error_code error;
  const fs::path root = fs::canonical(prefix / "dosdevices" / (drive + ":"), error);
  if (error) return std::nullopt;
  return (root / path.substr(3)).lexically_normal().string();
}

fs::path wine_prefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix && *prefix) return prefix;
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "") / ".wine";
}
