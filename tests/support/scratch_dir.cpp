#include "tests/support/scratch_dir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::random_device random;
  for (;;) {
    fs::path candidate = fs::temp_directory_path() / ("zantho-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      break;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  if (!previous_.empty()) {
    fs::current_path(previous_, error);
  }
  // Read-only entries would stop the removal; give write permission back first.
  for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(path_, error);
}

void ScratchDir::enter() {
  if (previous_.empty()) {
    previous_ = fs::current_path();
  }
  fs::current_path(path_);
}

void ScratchDir::write(const std::string& relative, const std::string& content) const {
  fs::path file = path_ / relative;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ScratchDir::read(const std::string& relative) const {
  std::ifstream in(path_ / relative, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

fs::path build_dir() {
  const char* dir = std::getenv("ZANTHO_BUILD_DIR");
  return dir ? fs::path(dir) : fs::current_path();
}

namespace {

std::string environment_or(const char* name, const std::string& otherwise) {
  const char* value = std::getenv(name);
  return value ? value : otherwise;
}

}  // namespace

fs::path program_dir() {
  const char* dir = std::getenv("ZANTHO_PROGRAM_DIR");
  return dir ? fs::path(dir) : build_dir();
}

fs::path launcher_program() {
  const char* launcher = std::getenv("ZANTHO_LAUNCHER");
  return launcher != nullptr && *launcher != '\0' ? fs::path(launcher) : program_dir() / "zantho.exe";
}

std::string program_runner() {
  const std::string runner = environment_or("ZANTHO_PROGRAM_RUNNER", "");
  return runner.empty() ? runner : runner + " ";
}

std::string program_suffix() { return environment_or("ZANTHO_PROGRAM_SUFFIX", ZANTHO_EXECUTABLE_SUFFIX); }

std::string program_path(const fs::path& path) {
  std::string text = path.string();
  if (program_runner().empty()) {
    return text;
  }
  for (char& c : text) {
    c = c == '/' ? '\\' : c;
  }
  return "Z:" + text;
}

std::string program_cleanup() { return environment_or("ZANTHO_PROGRAM_CLEANUP", ""); }

std::string test_host() { return environment_or("ZANTHO_TEST_HOST", "127.0.0.1"); }

bool under_wine() { return std::getenv("WINEDATADIR") != nullptr; }
