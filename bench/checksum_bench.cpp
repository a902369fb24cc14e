// Speed of the file checksums against their references on one file from the page cache:
// md5_file_print against OpenSSL's EVP MD5 and crc32_file against zlib's crc32(), each pair run in alternation
// for several rounds. Prints MB/s (median and best) of each and the ratios ours/reference.
//   checksum_bench <file relative to the current directory> [rounds]
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/md5.h"

namespace {

constexpr size_t kBlock = 65536;

// The references read the file as ours do: fread in blocks of the same size.
template <typename Consume>
bool read_blocks(const char* path, size_t block_size, Consume consume) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  std::vector<unsigned char> block(block_size);
  for (size_t read; (read = std::fread(block.data(), 1, block.size(), file)) > 0;) {
    consume(block.data(), read);
  }
  std::fclose(file);
  return true;
}

std::string openssl_md5(const char* path) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_md5(), nullptr);
  read_blocks(path, kBlock, [&](const unsigned char* data, size_t size) { EVP_DigestUpdate(context, data, size); });
  unsigned char digest[16];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

std::string our_md5(const char* path) {
  unsigned char digest[16] = {};
  md5_file_print(path, digest);
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

// The customary 1,024-byte reads, to show what the larger buffer of md5_file_print gains.
std::string our_md5_small_reads(const char* path) {
  Md5Context context;
  md5_init(context);
  read_blocks(path, 1024, [&](const unsigned char* data, size_t size) {
    md5_update(context, data, static_cast<uint32_t>(size));
  });
  unsigned char digest[16];
  md5_final(digest, context);
  char hex[33];
  md5_to_hex(digest, hex);
  return hex;
}

std::string zlib_crc(const char* path) {
  uLong crc = crc32(0L, Z_NULL, 0);
  read_blocks(path, kBlock, [&](const unsigned char* data, size_t size) {
    crc = crc32(crc, data, static_cast<uInt>(size));
  });
  return std::to_string(crc);
}

std::string our_crc(const char* path) { return std::to_string(crc32_file(path)); }

struct Contender {
  const char* name;
  std::function<std::string(const char*)> run;
  std::vector<double> seconds;
  std::string result;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <file> [rounds]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  double megabytes = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

  std::vector<Contender> contenders = {
      {"md5_file_print", our_md5, {}, {}},          {"OpenSSL EVP MD5", openssl_md5, {}, {}},
      {"md5 1 KiB reads", our_md5_small_reads, {}, {}}, {"crc32_file", our_crc, {}, {}},
      {"zlib crc32()", zlib_crc, {}, {}},
  };
  for (int round = 0; round < rounds; ++round) {
    for (Contender& c : contenders) {
      auto start = std::chrono::steady_clock::now();
      std::string result = c.run(path);
      c.seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!c.result.empty() && result != c.result) {
        std::fprintf(stderr, "%s gave two results\n", c.name);
        return 1;
      }
      c.result = result;
    }
  }
  if (contenders[0].result != contenders[1].result || contenders[0].result != contenders[2].result ||
      contenders[3].result != contenders[4].result) {
    std::fprintf(stderr, "results differ from the references\n");
    return 1;
  }

  std::printf("\n%.0f MB, %d rounds in alternation\n", megabytes, rounds);
  std::printf("%-18s %12s %12s\n", "", "median MB/s", "best MB/s");
  for (const Contender& c : contenders) {
    std::printf("%-18s %12.0f %12.0f\n", c.name, megabytes / median(c.seconds), megabytes / best(c.seconds));
  }
  auto ratio = [&](size_t ours, size_t reference, const char* label) {
    std::printf("%-40s median %.3f  best %.3f\n", label,
                median(contenders[reference].seconds) / median(contenders[ours].seconds),
                best(contenders[reference].seconds) / best(contenders[ours].seconds));
  };
  ratio(0, 1, "ratio md5_file_print / OpenSSL EVP MD5");
  ratio(2, 1, "ratio md5 (1 KiB reads) / OpenSSL EVP MD5");
  ratio(3, 4, "ratio crc32_file / zlib crc32()");
  return 0;
}
