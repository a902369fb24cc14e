// A temporary directory owned by one test: made fresh, optionally made current, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

class ScratchDir {
 public:
  // Makes a new empty directory under the system's temporary directory.
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

  // Makes the directory current until the ScratchDir ends (the previous one is restored then).
  void enter();

  // Writes a file (parents made as needed) and reads one back whole.
  void write(const std::string& relative, const std::string& content) const;
  std::string read(const std::string& relative) const;

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

// The build directory of the project (from ZANTHO_BUILD_DIR), where the stand-in programs are.
std::filesystem::path build_dir();
