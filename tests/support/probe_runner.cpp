#include "tests/support/probe_runner.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/support/scratch_dir.h"

namespace {

bool report_is_there(const std::filesystem::path& report, std::chrono::steady_clock::time_point deadline,
                     ChildProcess* writer) {
  while (!std::filesystem::exists(report)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (writer == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else if (writer->wait(5) && !std::filesystem::exists(report)) {
      return false;  // ended without a report
    }
  }
  return true;
}

ProbeReport read_report(const std::filesystem::path& report) {
  ProbeReport read;
  std::ifstream in(report);
  in >> read.process_id;
  in.ignore(1);
  std::getline(in, read.result);
  return read;
}

std::vector<std::string> command(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> line{utf8_path(program)};
  line.insert(line.end(), arguments.begin(), arguments.end());
  return line;
}

}  // namespace

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

int run_probe(const std::vector<std::string>& arguments) { return run_probe_at(probe_program(), arguments); }

int run_probe_at(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  return static_cast<int>(run_program(command(program, arguments)));
}

ProbeReport start_probe(const std::vector<std::string>& arguments, const std::filesystem::path& report,
                        int timeout_ms) {
  return start_probe_at(probe_program(), arguments, report, timeout_ms);
}

ProbeReport start_probe_at(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const std::filesystem::path& report, int timeout_ms) {
  auto probe = std::make_unique<ChildProcess>(command(program, arguments));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!probe->started() || !report_is_there(report, deadline, probe.get())) {
    // Only the caller's assertions fail; this says why.
    std::string why = !probe->started() ? probe->error()
                      : probe->ended()  ? "it ended with " + std::to_string(probe->exit_code())
                                        : "still running";
    std::fprintf(stderr, "the probe gave no report in %d ms: %s\n", timeout_ms, why.c_str());
    return {};
  }
  ProbeReport read = read_report(report);
  read.process = std::move(probe);
  return read;
}

ProbeReport wait_for_report(const std::filesystem::path& report, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return report_is_there(report, deadline, nullptr) ? read_report(report) : ProbeReport{};
}
