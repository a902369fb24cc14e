#include "tests/support/task_probe_fixture.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

fs::path install_task_probe(const fs::path& dir) {
  fs::path copy = dir / "task_probe";
  fs::copy_file(build_dir() / "tests" / "support" / "task_probe" / "task_probe", copy,
                fs::copy_options::overwrite_existing);
  return copy;
}

std::string probe_marker(const fs::path& probe) {
  std::ifstream in(fs::path(probe).concat(".marker"), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string wait_for_probe_run(const fs::path& probe, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::string marker = probe_marker(probe);
  // A run's line is complete once its line feed is there.
  while ((marker.empty() || marker.back() != '\n') && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    marker = probe_marker(probe);
  }
  return marker;
}
