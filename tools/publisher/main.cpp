// zantho_publish: writes a CDN tree and the index reply from an installation image.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/publisher/publisher.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: zantho_publish --image DIR --out DIR [--cdndomain HOST[:PORT][/PATH]]\n"
               "                      [--package NAME=PATH[,PATH...]]...\n"
               "A PATH of \"*\" takes every file no other package names; without --package, one client.zip\n"
               "holds everything. The index reply is written to OUT/api/clients.json.\n");
}

bool parse_package(const std::string& text, PackageLayout& layout) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
    return false;
  }
  layout.file = text.substr(0, equals);
  size_t start = equals + 1;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    if (comma > start) {
      layout.paths.push_back(text.substr(start, comma - start));
    }
    start = comma + 1;
  }
  return !layout.paths.empty();
}

}  // namespace

int main(int argc, char** argv) {
  PublishOptions options;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--image") == 0 && has_value) {
      options.image = argv[++i];
    } else if (std::strcmp(argv[i], "--out") == 0 && has_value) {
      options.out = argv[++i];
    } else if (std::strcmp(argv[i], "--cdndomain") == 0 && has_value) {
      options.cdndomain = argv[++i];
    } else if (std::strcmp(argv[i], "--package") == 0 && has_value) {
      PackageLayout layout;
      if (!parse_package(argv[++i], layout)) {
        std::fprintf(stderr, "bad --package value: %s\n", argv[i]);
        return 1;
      }
      options.packages.push_back(layout);
    } else {
      usage();
      return 1;
    }
  }
  if (options.image.empty() || options.out.empty()) {
    usage();
    return 1;
  }
  PublishResult result;
  const int code = publish_tree(options, &result);
  if (code == 0) {
    std::printf("metains %s\nmetaman %s\n", result.metains.c_str(), result.metaman.c_str());
  }
  return code;
}
