// The task_probe stand-in for tests: a copy of its own in the test's directory, and what its runs recorded.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

// Copies the built task_probe into `dir` and returns the copy's path.
std::filesystem::path install_task_probe(const std::filesystem::path& dir);

// What the probe at `probe` recorded so far: one line per run, its arguments separated by tabs.
std::string probe_marker(const std::filesystem::path& probe);

// Waits until the probe has recorded a run or `limit` has passed; returns what it recorded.
std::string wait_for_probe_run(const std::filesystem::path& probe, std::chrono::milliseconds limit);
