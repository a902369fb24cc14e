// Throughput of the download engine against the curl tool and aria2c on the same nginx over loopback:
// one 1 GiB file and 200 files of 5 MiB, over HTTP and HTTPS, several rounds in alternation.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/file_ops.h"
#include "download/http_downloader.h"
#include "platform/environment.h"
#include "tests/support/nginx_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = 1048576;

struct FileSet {
  const char* name;
  std::vector<std::string> files;  // relative to the served root
  uint64_t bytes;
};

// Fast pseudo-random bytes, so no layer can compress or dedupe them.
void make_file(const fs::path& path, uint64_t size, uint64_t seed) {
  if (fs::exists(path) && fs::file_size(path) == size) return;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block(kMiB / 8);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint64_t written = 0; written < size; written += kMiB) {
    for (auto& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(std::min(kMiB, size - written)));
  }
}

bool same_files(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  std::vector<char> p(kMiB);
  std::vector<char> q(kMiB);
  while (x && y) {
    x.read(p.data(), kMiB);
    y.read(q.data(), kMiB);
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
  }
  return x.eof() && y.eof();
}

double seconds_of(const std::function<bool()>& run, bool* ok) {
  const auto start = std::chrono::steady_clock::now();
  *ok = run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s <work directory> <report file> [rounds]\n", argv[0]);
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const fs::path report_path = fs::absolute(argv[2]);
  const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
  FILE* report = fopen(report_path.string().c_str(), "w");
  if (!report) return 2;
  setvbuf(report, nullptr, _IOLBF, 0);

  const fs::path root = work / "root";
  FileSet big{"1 GiB file", {"big.bin"}, 1024 * kMiB};
  FileSet many{"200 x 5 MiB", {}, 200 * 5 * kMiB};
  make_file(root / "big.bin", big.bytes, 1);
  for (int i = 0; i < 200; ++i) {
    char name[32];
    snprintf(name, sizeof name, "many/f%03d.bin", i);
    many.files.push_back(name);
    make_file(root / name, 5 * kMiB, static_cast<uint64_t>(i) + 2);
  }
  NginxFixture nginx(root, work / "nginx", 4);
  if (!nginx.ok()) {
    fprintf(report, "nginx did not start: %s\n", nginx.error().c_str());
    return 1;
  }
  platform::set_environment_variable("CURL_CA_BUNDLE", nginx.ca_file().string().c_str());
  set_current_dir(work.string().c_str());
  const fs::path out = work / "out";
  const std::string ca_path = nginx.ca_file().string();
  const std::string ca = "'" + ca_path + "'";

  fprintf(report, "download benchmark: nginx on loopback, %d rounds, medians (minima) in MB/s\n", rounds);
  fprintf(report, "%-12s %-6s %16s %16s %16s %10s %10s\n", "set", "scheme", "ours", "curl", "aria2c",
          "ours/curl", "ours/aria2");
  for (const FileSet* set : {&big, &many}) {
    for (bool https : {false, true}) {
      auto url = [&](const std::string& file) { return https ? nginx.https_url(file) : nginx.http_url(file); };
      auto ours = [&]() {
        for (const std::string& file : set->files)
          if (g_downloader->add_file_task(url(file), "out/" + file) != 0) return false;
        return g_downloader->run_downloads() == DOWNLOAD_OK;
      };
      auto curl = [&]() {
        std::string command = "curl -s --fail --http1.1 --cacert " + ca;
        for (const std::string& file : set->files) command += " -o 'out/" + file + "' '" + url(file) + "'";
        return std::system(command.c_str()) == 0;
      };
      // aria2c 1.36 refuses a piece size below 1 MiB (-k256K is an error), so it splits at its minimum.
      auto aria2 = [&]() {
        std::ofstream list(work / "aria2.list", std::ios::trunc);
        for (const std::string& file : set->files) list << url(file) << "\n  out=" << file << "\n";
        list.close();
        const std::string command =
            "aria2c -q -x5 -s5 -k1M --allow-overwrite=true --auto-file-renaming=false --ca-certificate=" + ca +
            " -d out -i '" + (work / "aria2.list").string() + "'";
        return std::system(command.c_str()) == 0;
      };
      const std::vector<std::pair<const char*, std::function<bool()>>> tools = {
          {"ours", ours}, {"curl", curl}, {"aria2c", aria2}};
      std::vector<std::vector<double>> speeds(tools.size());
      for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < tools.size(); ++k) {
          // Each round starts with another tool, so none always meets the same page-cache state.
          const size_t t = (k + static_cast<size_t>(round)) % tools.size();
          fs::remove_all(out);
          fs::create_directories(out / "many");
          bool ok = false;
          const double seconds = seconds_of(tools[t].second, &ok);
          bool exact = ok;
          if (ok && round == 0)
            for (const std::string& file : set->files) exact = exact && same_files(out / file, root / file);
          if (!exact) {
            fprintf(report, "%s %s round %d: %s failed\n", set->name, https ? "https" : "http", round, tools[t].first);
            return 1;
          }
          speeds[t].push_back(static_cast<double>(set->bytes) / 1e6 / seconds);
        }
      }
      char cells[3][40];
      for (size_t t = 0; t < tools.size(); ++t)
        snprintf(cells[t], sizeof cells[t], "%7.0f (%6.0f)", median(speeds[t]),
                 *std::min_element(speeds[t].begin(), speeds[t].end()));
      fprintf(report, "%-12s %-6s %16s %16s %16s %10.2f %10.2f\n", set->name, https ? "https" : "http", cells[0],
              cells[1], cells[2], median(speeds[0]) / median(speeds[1]), median(speeds[0]) / median(speeds[2]));
    }
  }
  fs::remove_all(out);
  return 0;
}
