#include "tests/support/deep_json.h"

std::string nested_arrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_objects(size_t depth) {
  std::string text;
  text.reserve(depth * 6);
  for (size_t i = 1; i < depth; ++i) {
    text += "{\"a\":";
  }
  text += "{}";
  text.append(depth - 1, '}');
  return text;
}
