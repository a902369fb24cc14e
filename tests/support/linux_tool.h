// Runs a Linux tool that the suites need (nginx, openssl, python3) and waits for its end. A Windows test program
// under Wine cannot wait for a Linux program it starts, so when ZANTHO_LINUX_TOOLS names "host:port" the run is
// asked of the Linux-side tool server there (tests/support/linux_tool_server); otherwise it runs here.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct LinuxToolResult {
  int exit_code = -1;  // -1 also when the tool could not be started or the server not reached
  std::string output;  // stdout and stderr together, or why it did not run
};

// The tools that may be run; anything else is refused.
bool is_allowed_linux_tool(const std::string& name);

// arguments[0] is the tool, looked up on PATH. Paths among the arguments must be given through linux_path().
LinuxToolResult run_linux_tool(const std::vector<std::string>& arguments);

// A path of this program as the Linux tools see it: unchanged when they run here, else translated by the server.
std::string linux_path(const std::filesystem::path& path);

// Runs the tool in this process's machine, its output collected through a temporary file (a daemon that keeps its
// output open does not hold up the wait). The tool server runs requests with it.
LinuxToolResult run_tool_here(const std::vector<std::string>& arguments);
