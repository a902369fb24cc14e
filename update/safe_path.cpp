#include "update/safe_path.h"

bool is_safe_relative_path(std::string_view path) {
  if (path.empty() || path[0] == '/' || path[0] == '\\') {
    return false;
  }
  if (path.size() >= 2 && path[1] == ':') {
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (path.substr(start, end - start) == "..") {
      return false;
    }
    start = end + 1;
  }
  return true;
}
