// Reproducible file contents for the benchmarks: the same seed gives the same bytes on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

inline uint64_t g_bench_random_state = 0x9E3779B97F4A7C15ull;

inline uint64_t next_random() {
  g_bench_random_state ^= g_bench_random_state << 13;
  g_bench_random_state ^= g_bench_random_state >> 7;
  g_bench_random_state ^= g_bench_random_state << 17;
  return g_bench_random_state;
}

// Three files in four are incompressible (already packed assets); the rest compress like text.
inline void fill(std::vector<unsigned char>& data, int index) {
  if (index % 4 != 3) {
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      uint64_t value = next_random();
      std::memcpy(&data[i], &value, 8);
    }
    return;
  }
  static const char kWords[] = "texture mesh shader sound level script config locale ";
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<unsigned char>(i % 61 == 0 ? 'a' + next_random() % 26 : kWords[i % (sizeof(kWords) - 1)]);
  }
}
