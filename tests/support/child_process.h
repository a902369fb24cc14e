// Starts another program for a test, the same way on every platform and without a shell: an argument vector in
// UTF-8 (the first names the program), optional environment additions, working directory and output file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ChildOptions {
  // Set in the child on top of this process's own environment (a name given here replaces the inherited value).
  std::vector<std::pair<std::string, std::string>> environment;
  // Empty: this process's current directory.
  std::filesystem::path working_dir;
  // The child's standard output and error both go to this file (made afresh); empty: they are discarded.
  std::filesystem::path output;
};

// A program running in the background. The object owns it: when the object ends, a child still running is killed
// and waited for, so no test leaves a process behind.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments, const ChildOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Whether it started; if not, why.
  bool started() const;
  const std::string& error() const;
  uint32_t process_id() const;

  // Waits up to timeout_ms for the end; true once it has ended.
  bool wait(uint32_t timeout_ms);
  bool ended() const;
  // The exit code once ended: as the system reports it, or 128 + the signal for a program a signal ended.
  int64_t exit_code() const;
  // Ends it at once and waits for the end; false when it did not end.
  bool kill();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A path as the UTF-8 text the arguments are given in (on Windows a path's narrow string is in the ANSI code page).
std::string utf8_path(const std::filesystem::path& path);

// Runs a program and waits for it: its exit code, or -1 when it could not start or did not end within timeout_ms
// (it is killed then).
int64_t run_program(const std::vector<std::string>& arguments, const ChildOptions& options = {},
                    uint32_t timeout_ms = 60000);
