#include "tests/support/test_data.h"

#include <filesystem>
#include <random>

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(generator());
  }
  return bytes;
}

size_t open_descriptor_count() {
  size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
       ++it) {
    ++count;
  }
  return count;
}
