#include "tests/support/probe_runner.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/scratch_dir.h"

std::filesystem::path probe_program() {
  return program_dir() / ("tests/support/platform_probe/platform_probe" + program_suffix());
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

int run_probe(const std::string& arguments) { return run_probe_at(probe_program().string(), arguments); }

int run_probe_at(const std::string& program, const std::string& arguments) {
  int status = std::system((shell_quote(program) + " " + arguments).c_str());
  // std::system gives the shell's wait status; the exit code is its second byte.
  return status < 0 ? status : (status >> 8) & 0xFF;
}

ProbeReport start_probe(const std::string& arguments, const std::filesystem::path& report, int timeout_ms) {
  std::system((shell_quote(probe_program().string()) + " " + arguments + " >/dev/null 2>&1 &").c_str());
  return wait_for_report(report, timeout_ms);
}

ProbeReport wait_for_report(const std::filesystem::path& report, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!std::filesystem::exists(report)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ProbeReport read;
  std::ifstream in(report);
  in >> read.process_id;
  in.ignore(1);
  std::getline(in, read.result);
  return read;
}
