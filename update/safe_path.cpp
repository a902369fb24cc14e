#include "update/safe_path.h"

#include <array>
#include <cctype>

namespace {

bool equal_without_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Windows opens the device whatever extension follows and whatever blanks end the name before it.
bool is_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') {
    base.remove_suffix(1);
  }
  static constexpr std::array<std::string_view, 6> kPlain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kPlain) {
    if (equal_without_case(base, device)) {
      return true;
    }
  }
  if (base.size() < 4 || !(equal_without_case(base.substr(0, 3), "COM") || equal_without_case(base.substr(0, 3), "LPT"))) {
    return false;
  }
  // A digit, or the superscripts one, two and three in UTF-8.
  std::string_view number = base.substr(3);
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" || number == "\xC2\xB2" ||
         number == "\xC2\xB3";
}

bool is_safe_component(std::string_view component) {
  if (component.empty() || component == ".") {
    return true;
  }
  if (component == ".." || component.back() == '.' || component.back() == ' ' || is_device_name(component)) {
    return false;
  }
  for (char c : component) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view(":<>\"|?*").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// Calls visit with each component between separators, in order; stops at the first false.
template <typename Visit>
bool each_component(std::string_view path, Visit visit) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (!visit(path.substr(start, end - start))) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

bool is_safe_relative_path(std::string_view path) {
  if (path.empty() || path[0] == '/' || path[0] == '\\') {
    return false;
  }
  return each_component(path, is_safe_component);
}

std::string windows_name_key(std::string_view path) {
  std::string key;
  each_component(path, [&key](std::string_view component) {
    if (component.empty() || component == ".") {
      return true;
    }
    if (!key.empty()) {
      key += '/';
    }
    for (char c : component) {
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
  });
  return key;
}

bool is_installable_path(std::string_view path) {
  if (!is_safe_relative_path(path)) {
    return false;
  }
  std::string key = windows_name_key(path);
  std::string_view top = std::string_view(key).substr(0, key.find('/'));
  return top != "packages" && top != "logs";
}
