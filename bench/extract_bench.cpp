// Extraction and copy of a package set of about 1 GB in 2,000 files, timed one run at a time for
// extract_bench.sh, which times its references (bsdtar -xf, cp -r) on the same set in alternation.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <minizip/zip.h>
#include <zlib.h>

#include "bench/bench_data.h"
#include "update/copy_phase.h"
#include "update/extract_packages.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 2000;
constexpr int kDirectories = 40;
constexpr const char* kZip = "packages/set.zip";
constexpr const char* kList = "packages/quembra_client_win32_installed.json";

// Mostly small files and a tail of large ones, about 1 GB in all, as a game client's packages hold.
size_t file_size(int index) {
  if (index % 10 == 0) {
    return 4 * 1024 * 1024 + next_random() % (2 * 1024 * 1024);
  }
  return 4096 + next_random() % (128 * 1024);
}

int prepare() {
  fs::create_directories("packages");
  zipFile zip = zipOpen64(kZip, APPEND_STATUS_CREATE);
  if (zip == nullptr) {
    std::fprintf(stderr, "cannot create %s\n", kZip);
    return 1;
  }
  std::string list = "{\"checksum\":\"\",\"files\":[";
  for (int d = 0; d < kDirectories; ++d) {
    list += d == 0 ? "[\"d" : ",[\"d";
    list += std::to_string(d);
    list += "\",-1,0,0]";
  }
  std::vector<unsigned char> data;
  uint64_t total = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::string directory = std::to_string(i % kDirectories);
    const std::string index = std::to_string(i);
    std::string name = "d" + directory + "/file" + index + ".bin";
    data.resize(file_size(i));
    fill(data, i);
    total += data.size();
    zip_fileinfo info{};
    if (zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 1, 0) != ZIP_OK ||
        zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())) != ZIP_OK ||
        zipCloseFileInZip(zip) != ZIP_OK) {
      std::fprintf(stderr, "cannot write %s\n", name.c_str());
      zipClose(zip, nullptr);
      return 1;
    }
    uLong crc = crc32(0, data.data(), static_cast<uInt>(data.size()));
    list += ",[\"" + name + "\"," + std::to_string(data.size()) + ",0," + std::to_string(crc) + "]";
  }
  zipClose(zip, nullptr);
  list += "]}";
  FILE* out = std::fopen(kList, "wb");
  if (out == nullptr || std::fwrite(list.data(), list.size(), 1, out) != 1 || std::fclose(out) != 0) {
    std::fprintf(stderr, "cannot write %s\n", kList);
    return 1;
  }
  std::printf("%d files, %llu bytes, zip %llu bytes\n", kFiles, static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(fs::file_size(kZip)));
  return 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int extract() {
  fs::remove_all("packages/tmp");
  fs::create_directories("packages/tmp");
  auto start = std::chrono::steady_clock::now();
  int32_t result = extract_zip(kZip, "packages/tmp");
  double elapsed = seconds_since(start);
  if (result != 0) {
    std::fprintf(stderr, "extraction failed: %d\n", result);
    return 1;
  }
  std::printf("%.4f\n", elapsed);
  return 0;
}

int copy() {
  for (int d = 0; d < kDirectories; ++d) {
    const std::string index = std::to_string(d);
    fs::remove_all("d" + index);
  }
  auto start = std::chrono::steady_clock::now();
  bool copied = copy_installed_files(kList);
  double elapsed = seconds_since(start);
  if (!copied) {
    std::fprintf(stderr, "copy failed\n");
    return 1;
  }
  std::printf("%.4f\n", elapsed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s prepare|extract|copy DIR\n", argv[0]);
    return 2;
  }
  fs::create_directories(argv[2]);
  fs::current_path(argv[2]);
  std::string command = argv[1];
  if (command == "prepare") {
    return prepare();
  }
  if (command == "extract") {
    return extract();
  }
  if (command == "copy") {
    return copy();
  }
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
