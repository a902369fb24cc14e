// The layer's waiter of a detached program: exec'd by the process that forked the program, so still its parent,
// it waits for the program to end and records how it ended. A program of its own, not a fork of its caller,
// so that nothing a caller leaves running is listed as the caller.
//
// exit_waiter <pid> <exit file or "">
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    done += static_cast<size_t>(written);
  }
}

// Its exit code in decimal, or "signal N"; written under a temporary name and renamed, so a reader sees it whole.
void record_exit(const std::string& exit_file, int status) {
  std::string text = WIFEXITED(status) ? std::to_string(WEXITSTATUS(status))
                                       : "signal " + std::to_string(WTERMSIG(status));
  std::string temporary = exit_file + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  write_all(fd, text + "\n");
  close(fd);
  rename(temporary.c_str(), exit_file.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    return 2;
  }
  pid_t child = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return 1;
    }
  }
  if (*argv[2] != 0) {
    record_exit(argv[2], status);
  }
  return 0;
}
