// Runs tests/support/platform_probe, which acts on the platform's named objects from another process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

struct ProbeReport {
  uint32_t process_id = 0;  // 0 when no report came
  std::string result;
  // The probe started in the background: it is killed, if still running, when the report ends.
  std::unique_ptr<ChildProcess> process;
};

std::filesystem::path probe_program();

// Runs the probe with its arguments and returns its exit code (-1 when it did not start or end).
int run_probe(const std::vector<std::string>& arguments);

// The same with a copy of the probe elsewhere (under another name or directory).
int run_probe_at(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// Starts the probe in the background and waits up to timeout_ms for the report file it writes.
ProbeReport start_probe(const std::vector<std::string>& arguments, const std::filesystem::path& report,
                        int timeout_ms = 10000);
// The same with a copy of the probe elsewhere.
ProbeReport start_probe_at(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const std::filesystem::path& report, int timeout_ms = 10000);

// Reads a report file once it is there.
ProbeReport wait_for_report(const std::filesystem::path& report, int timeout_ms);

// A text as one shell word, for the Linux-side tools that still go through a shell.
std::string shell_quote(const std::string& text);
