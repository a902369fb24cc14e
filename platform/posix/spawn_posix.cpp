#include "platform/posix/spawn_posix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/exit_waiter_image_posix.h"

extern char** environ;

namespace platform::posix {
namespace {

// Everything between fork and exec below keeps to async-signal-safe calls: the caller may have threads.

void write_all(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

size_t format_unsigned(unsigned value, char* out) {
  char digits[16];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) {
    out[i] = digits[count - 1 - i];
  }
  out[count] = 0;
  return count;
}

// The embedded exit_waiter in a file of memory that can be run; -1 when it cannot be made.
int exit_waiter_fd() {
  int fd = static_cast<int>(memfd_create("exit_waiter", MFD_CLOEXEC));
  if (fd < 0) {
    return -1;
  }
  size_t done = 0;
  while (done < exit_waiter_image_size) {
    ssize_t written = write(fd, exit_waiter_image + done, exit_waiter_image_size - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(written);
  }
  return fd;
}

void detach_stdio() {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) {
      close(null_fd);
    }
  }
}

// Keeps 0-2 and keep_fd; the program must not hold the caller's files, sockets or pipes.
void close_other_fds(int keep_fd) {
  if (keep_fd > 3) {
    close_range(3, static_cast<unsigned>(keep_fd - 1), 0);
  }
  close_range(static_cast<unsigned>(keep_fd < 3 ? 3 : keep_fd + 1), ~0U, 0);
}

std::vector<std::string> merged_environment(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string text(*entry);
    bool replaced = false;
    for (const std::string& override_entry : overrides) {
      std::string name = override_entry.substr(0, override_entry.find('=')) + "=";
      if (text.compare(0, name.size(), name) == 0) {
        replaced = true;
      }
    }
    if (!replaced) {
      result.push_back(text);
    }
  }
  for (const std::string& override_entry : overrides) {
    if (override_entry.find('=') != std::string::npos) {
      result.push_back(override_entry);
    }
  }
  return result;
}

}  // namespace

int spawn_detached(const SpawnRequest& request, pid_t* pid) {
  std::vector<std::string> environment = merged_environment(request.environment_overrides);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.program.c_str()));
  for (const std::string& argument : request.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  const char* program = request.program.c_str();
  const char* directory = request.directory.empty() ? nullptr : request.directory.c_str();
  const char* exit_file = request.exit_file.c_str();
  char child_text[16] = {};
  char* waiter_argv[] = {const_cast<char*>("exit_waiter"), child_text, const_cast<char*>(exit_file), nullptr};
  bool null_stdio = request.null_stdio;

  int pid_pipe[2];
  int error_pipe[2];
  if (pipe2(pid_pipe, O_CLOEXEC) != 0) {
    return errno;
  }
  if (pipe2(error_pipe, O_CLOEXEC) != 0) {
    int error = errno;
    close(pid_pipe[0]);
    close(pid_pipe[1]);
    return error;
  }
  int waiter_image = exit_waiter_fd();

  // The caller reaps the first child at once; the second, in a session of its own, becomes the exit_waiter
  // that waits for the program and records how it ended, so the program never lingers as a zombie of a caller
  // that does not wait, and no copy of the caller stays behind.
  pid_t first = fork();
  if (first == 0) {
    setsid();
    pid_t waiter = fork();
    if (waiter != 0) {
      _exit(waiter < 0 ? 1 : 0);
    }
    pid_t child = fork();
    if (child == 0) {
      close_other_fds(error_pipe[1]);
      if (null_stdio) {
        detach_stdio();
      }
      int error = 0;
      if (directory && chdir(directory) != 0) {
        error = errno;
      } else {
        execve(program, argv.data(), envp.data());
        error = errno;
      }
      write_all(error_pipe[1], &error, sizeof error);
      _exit(127);
    }
    close(error_pipe[1]);
    write_all(pid_pipe[1], &child, sizeof child);
    close_other_fds(waiter_image);
    detach_stdio();
    if (child < 0) {
      _exit(1);
    }
    format_unsigned(static_cast<unsigned>(child), child_text);
    if (waiter_image >= 0) {
      execveat(waiter_image, "", waiter_argv, envp.data(), AT_EMPTY_PATH);
    }
    // Without its waiter the program is adopted and reaped by the system; only its exit code is lost.
    _exit(1);
  }
  int fork_error = first < 0 ? errno : 0;
  close(pid_pipe[1]);
  close(error_pipe[1]);
  if (waiter_image >= 0) {
    close(waiter_image);
  }
  if (first > 0) {
    while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_t child = -1;
  ssize_t got = read(pid_pipe[0], &child, sizeof child);
  int exec_error = 0;
  ssize_t error_bytes = 0;
  if (got == static_cast<ssize_t>(sizeof child) && child > 0) {
    do {
      error_bytes = read(error_pipe[0], &exec_error, sizeof exec_error);
    } while (error_bytes < 0 && errno == EINTR);
  }
  close(pid_pipe[0]);
  close(error_pipe[0]);
  if (fork_error != 0) {
    return fork_error;
  }
  if (got != static_cast<ssize_t>(sizeof child) || child <= 0) {
    return EAGAIN;
  }
  if (error_bytes == static_cast<ssize_t>(sizeof exec_error)) {
    return exec_error;
  }
  *pid = child;
  return 0;
}

std::vector<std::string> split_command_line(const std::string& line, bool first_is_program) {
  std::vector<std::string> result;
  size_t i = 0;
  auto skip_blanks = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
      ++i;
    }
  };
  if (first_is_program) {
    skip_blanks();
    std::string program;
    if (i < line.size() && line[i] == '"') {
      size_t end = line.find('"', i + 1);
      program = line.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
      i = end == std::string::npos ? line.size() : end + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        program += line[i++];
      }
    }
    result.push_back(program);
  }
  for (;;) {
    skip_blanks();
    if (i >= line.size()) {
      break;
    }
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        size_t slashes = 0;
        while (i < line.size() && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          argument.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            argument += '"';
            ++i;
          }
        } else {
          argument.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += line[i++];
      }
    }
    result.push_back(argument);
  }
  return result;
}

std::string posix_path(const std::string& path) {
  std::string result = path.rfind("\\\\?\\", 0) == 0 ? path.substr(4) : path;
  for (char& c : result) {
    if (c == '\\') {
      c = '/';
    }
  }
  return result;
}

}  // namespace platform::posix
