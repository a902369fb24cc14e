// Runs tests/support/platform_probe, which acts on the platform's named objects from another process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct ProbeReport {
  uint32_t process_id = 0;  // 0 when no report came
  std::string result;
};

std::filesystem::path probe_program();

// Runs the probe with its arguments (each quoted for the shell) and returns its exit code.
int run_probe(const std::string& arguments);

// The same with a copy of the probe elsewhere (under another name or directory).
int run_probe_at(const std::string& program, const std::string& arguments);

// Starts the probe in the background and waits up to timeout_ms for the report file it writes.
ProbeReport start_probe(const std::string& arguments, const std::filesystem::path& report, int timeout_ms = 10000);

// Reads a report file once it is there.
ProbeReport wait_for_report(const std::filesystem::path& report, int timeout_ms);

// A text as one shell word.
std::string shell_quote(const std::string& text);
