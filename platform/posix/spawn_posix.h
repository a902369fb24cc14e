// Starting a program detached from the caller, for the shell and the service manager. Used by the layer only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::posix {

struct SpawnRequest {
  std::string program;                // path as given to execve
  std::vector<std::string> arguments; // argv[1..]; argv[0] is the program
  std::string directory;              // empty: the caller's current directory
  // "NAME=value" replaces the caller's value, a bare "NAME" removes it.
  std::vector<std::string> environment_overrides;
  // When set, the exit status of the program is written there once it has ended: its exit code in
  // decimal, or "signal N". Written to a temporary name first and renamed, so a reader sees it whole.
  std::string exit_file;
  bool null_stdio = false;  // standard streams on /dev/null instead of the caller's
};

// Runs the program in a new session; no zombie is left behind, whoever outlives whom. Returns 0 with the
// program's pid, or the errno that prevented it (the program's exec failure included).
int spawn_detached(const SpawnRequest& request, pid_t* pid);

// Windows command-line splitting: the program name (quotes group, no escapes) and then the arguments
// (quotes group, backslashes escape only before a quote, "" inside quotes is a quote).
std::vector<std::string> split_command_line(const std::string& line, bool first_is_program);

// "\\?\" stripped and every "\" turned into "/".
std::string posix_path(const std::string& path);

}  // namespace platform::posix
