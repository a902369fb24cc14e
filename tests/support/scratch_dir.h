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

// Where the programs under test and their stand-ins are: ZANTHO_PROGRAM_DIR when the suites drive another build's
// programs (the Windows build's, under Wine), else build_dir().
std::filesystem::path program_dir();
// The launcher under test: ZANTHO_LAUNCHER when a variant of the build's is to be driven, else zantho.exe in
// program_dir().
std::filesystem::path launcher_program();
// What a command line puts before such a program: ZANTHO_PROGRAM_RUNNER and a blank (Wine's loader), or "".
std::string program_runner();
// The file name ending of such programs: ZANTHO_PROGRAM_SUFFIX, else this build's own.
std::string program_suffix();
// A path of this machine as those programs see it: under Wine's loader, on its drive Z: (the root) with "\"
// separators; else unchanged.
std::string program_path(const std::filesystem::path& path);
// A command that ends every process started through the runner (ZANTHO_PROGRAM_CLEANUP: "wineserver -k"), or "".
std::string program_cleanup();
// The name the suites' loopback servers are reached by: ZANTHO_TEST_HOST, else 127.0.0.1 (Windows' TLS matches a
// certificate by host name only, so the Windows programs are given "localhost").
std::string test_host();
// Whether this test program runs under Wine, which puts WINEDATADIR in the environment of each of its processes.
bool under_wine();
