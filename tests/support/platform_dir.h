// A platform state directory of the test's own (ZANTHO_PLATFORM_DIR) for named objects, services and tasks;
// the previous value comes back when it ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/environment.h"

class ScopedPlatformDir {
 public:
  explicit ScopedPlatformDir(const std::filesystem::path& dir) {
    if (const char* previous = std::getenv("ZANTHO_PLATFORM_DIR")) {
      previous_ = previous;
    }
    platform::set_environment_variable("ZANTHO_PLATFORM_DIR", dir.string().c_str());
  }
  ~ScopedPlatformDir() {
    platform::set_environment_variable("ZANTHO_PLATFORM_DIR", previous_ ? previous_->c_str() : nullptr);
  }
  ScopedPlatformDir(const ScopedPlatformDir&) = delete;
  ScopedPlatformDir& operator=(const ScopedPlatformDir&) = delete;

 private:
  std::optional<std::string> previous_;
};
