#include "tests/support/test_content.h"

std::string patterned_content(size_t size, uint32_t seed) {
  std::string content(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    content[i] = static_cast<char>(state >> 24);
  }
  return content;
}
