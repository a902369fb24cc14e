// A platform state directory of the test's own (ZANTHO_PLATFORM_DIR) for named objects, services and tasks;
// when it ends, so does every process started with it, and the previous value comes back.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

class ScopedPlatformDir {
 public:
  explicit ScopedPlatformDir(const std::filesystem::path& dir);
  ~ScopedPlatformDir();
  ScopedPlatformDir(const ScopedPlatformDir&) = delete;
  ScopedPlatformDir& operator=(const ScopedPlatformDir&) = delete;

 private:
  std::filesystem::path dir_;
  std::optional<std::string> previous_;
};

// Kills every process that was started with this platform directory (the test's own machine) and waits until
// they have ended; the calling process is spared. Returns how many there were.
int end_processes_of(const std::filesystem::path& platform_dir);
