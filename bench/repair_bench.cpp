// Writes the data files of the installation image that repair_bench.sh publishes: about 900 MB in 1,200 files
// across 40 directories, the same bytes on every run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_data.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 1200;
constexpr int kDirectories = 40;

// Mostly small files and a tail of large ones, as a game client's installation holds.
size_t file_size(int index) {
  if (index % 8 == 0) {
    return 4 * 1024 * 1024 + next_random() % (3 * 1024 * 1024);
  }
  return 4096 + next_random() % (128 * 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE_DIR\n", argv[0]);
    return 2;
  }
  const fs::path image = argv[1];
  std::vector<unsigned char> data;
  uint64_t total = 0;
  for (int i = 0; i < kFiles; ++i) {
    // Consecutive files share a directory, so every package gets its share of the large ones.
    const std::string directory = std::to_string(i * kDirectories / kFiles);
    const std::string index = std::to_string(i);
    fs::path dir = image / ("d" + directory);
    fs::create_directories(dir);
    fs::path name = dir / ("file" + index + ".bin");
    data.resize(file_size(i));
    fill(data, i);
    total += data.size();
    FILE* out = std::fopen(name.c_str(), "wb");
    if (out == nullptr || std::fwrite(data.data(), data.size(), 1, out) != 1 || std::fclose(out) != 0) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      return 1;
    }
  }
  std::printf("%d files, %llu bytes\n", kFiles, static_cast<unsigned long long>(total));
  return 0;
}
