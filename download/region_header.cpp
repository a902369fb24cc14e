#include <cstdio>
#include <regex>
#include <string>

#include "download/http_downloader.h"
#include "launcher/update_settings.h"

size_t on_region_header(char* header, size_t size, size_t nitems, void* userdata) {
  const size_t count = size * nitems;
  const std::string text(header, count);
  printf("header_print %s", text.c_str());
  auto* value = static_cast<std::string*>(userdata);
  if (std::regex_search(text, std::regex(g_settings.region_header))) {
    // The value follows the name, the colon and one space; a line too short to hold one gives "".
    const size_t start = g_settings.region_header.size() + 2;
    *value = start < text.size() ? text.substr(start, g_settings.home_region.size()) : std::string();
  } else {
    printf("------------------\n");
  }
  return count;
}
