// Runs a program under ptrace and kills it with SIGKILL right before its Nth call that changes a file inside a
// watched directory, recording every such call; then stops every process the program started.
//
//   kill_point --watch DIR [--record FILE] [--kill CLASS:N[+K]] [--untraced] -- PROGRAM [ARGUMENTS...]
//
// Calls counted (of the program's own threads, not of the programs it starts): write, pwrite64, writev, pwritev,
// pwritev2, copy_file_range, sendfile, ftruncate, truncate, fallocate, open/openat/openat2/creat for writing,
// mkdir(at), rmdir, unlink(at), rename(at/at2), link(at), symlink(at), chmod, fchmod, fchmodat.
// Each is classed by its path relative to DIR: "staging" (packages/tmp), "packages" (the rest of packages/),
// "log" (logs/), "install" (everything else); CLASS may also be "any". With +K the kill comes K counted calls (of
// any class) after the Nth of CLASS, for the calls that follow a fixed one but whose own index varies from run to
// run. A record line per counted call:
// "<index> <class> <index in class> <call> <path>", and a last line "killed", "exited N" or "signal N".
// Exit: 0 when killed at the point, 1 when the program ended before it; without --kill the program's own status.
// Every process that carries this run's mark in its environment is killed before the helper ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(__x86_64__)
#error "the system call numbers below are those of x86-64"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kMarkName = "ZANTHO_KILL_POINT_MARK";

struct Options {
  fs::path watch;
  fs::path record;
  std::string kill_class;
  long kill_index = 0;  // 0: no kill
  long kill_offset = 0;
  bool traced = true;
  std::vector<char*> program;
};

// Where each counted call finds its path: a descriptor or a (directory descriptor, path) pair in its arguments.
enum class Target { fd, path, at_path, none };
struct CallShape {
  const char* name;
  Target first;
  int first_arg;   // fd, or path; for at_path the dirfd is the argument before
  int second_arg;  // a second path (renames), -1 when none; at_path again when the first is
  int flags_arg;   // open flags, -1 when the call always changes a file
};

const std::map<long, CallShape>& shapes() {
  static const std::map<long, CallShape> table = {
      {SYS_write, {"write", Target::fd, 0, -1, -1}},
      {SYS_pwrite64, {"pwrite64", Target::fd, 0, -1, -1}},
      {SYS_writev, {"writev", Target::fd, 0, -1, -1}},
      {SYS_pwritev, {"pwritev", Target::fd, 0, -1, -1}},
      {SYS_pwritev2, {"pwritev2", Target::fd, 0, -1, -1}},
      {SYS_copy_file_range, {"copy_file_range", Target::fd, 2, -1, -1}},
      {SYS_sendfile, {"sendfile", Target::fd, 0, -1, -1}},
      {SYS_ftruncate, {"ftruncate", Target::fd, 0, -1, -1}},
      {SYS_fallocate, {"fallocate", Target::fd, 0, -1, -1}},
      {SYS_fchmod, {"fchmod", Target::fd, 0, -1, -1}},
      {SYS_truncate, {"truncate", Target::path, 0, -1, -1}},
      {SYS_open, {"open", Target::path, 0, -1, 1}},
      {SYS_creat, {"creat", Target::path, 0, -1, -1}},
      {SYS_mkdir, {"mkdir", Target::path, 0, -1, -1}},
      {SYS_rmdir, {"rmdir", Target::path, 0, -1, -1}},
      {SYS_unlink, {"unlink", Target::path, 0, -1, -1}},
      {SYS_rename, {"rename", Target::path, 0, 1, -1}},
      {SYS_link, {"link", Target::path, 1, -1, -1}},
      {SYS_symlink, {"symlink", Target::path, 1, -1, -1}},
      {SYS_chmod, {"chmod", Target::path, 0, -1, -1}},
      {SYS_openat, {"openat", Target::at_path, 1, -1, 2}},
      {SYS_mkdirat, {"mkdirat", Target::at_path, 1, -1, -1}},
      {SYS_unlinkat, {"unlinkat", Target::at_path, 1, -1, -1}},
      {SYS_renameat, {"renameat", Target::at_path, 1, 3, -1}},
      {SYS_renameat2, {"renameat2", Target::at_path, 1, 3, -1}},
      {SYS_linkat, {"linkat", Target::at_path, 3, -1, -1}},
      {SYS_symlinkat, {"symlinkat", Target::at_path, 2, -1, -1}},
      {SYS_fchmodat, {"fchmodat", Target::at_path, 1, -1, -1}},
  };
  return table;
}

std::string read_link(const std::string& path) {
  std::error_code error;
  fs::path target = fs::read_symlink(path, error);
  return error ? std::string() : target.string();
}

std::string read_string(pid_t tid, uint64_t address) {
  std::string text;
  char chunk[256];
  for (int i = 0; i < 64; ++i) {
    iovec local{chunk, sizeof chunk};
    iovec remote{reinterpret_cast<void*>(address + text.size()), sizeof chunk};
    ssize_t got = process_vm_readv(tid, &local, 1, &remote, 1, 0);
    if (got <= 0) {
      break;
    }
    size_t length = strnlen(chunk, static_cast<size_t>(got));
    text.append(chunk, length);
    if (length < static_cast<size_t>(got)) {
      break;
    }
  }
  return text;
}

// The absolute path a call names, resolved as the kernel would against the current or the given directory.
std::string absolute(pid_t tid, long dirfd, const std::string& path) {
  if (!path.empty() && path[0] == '/') {
    return fs::path(path).lexically_normal().string();
  }
  std::string base = static_cast<int>(dirfd) == AT_FDCWD
                         ? read_link("/proc/" + std::to_string(tid) + "/cwd")
                         : read_link("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(dirfd));
  return (fs::path(base) / path).lexically_normal().string();
}

bool opens_for_writing(long flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

class Counter {
 public:
  explicit Counter(const Options& options) : options_(options), watch_(fs::absolute(options.watch).lexically_normal()) {
    if (!options.record.empty()) {
      record_.open(options.record, std::ios::trunc);
    }
  }

  // True when the call at this syscall-entry stop is the one to kill before.
  bool at_entry(pid_t tid, const __ptrace_syscall_info& info) {
    auto shape = shapes().find(static_cast<long>(info.entry.nr));
    if (shape == shapes().end()) {
      return false;
    }
    const CallShape& call = shape->second;
    const uint64_t* args = info.entry.args;
    if (call.flags_arg >= 0 && !opens_for_writing(static_cast<long>(args[call.flags_arg]))) {
      return false;
    }
    std::optional<std::string> inside = relative(tid, call, args, call.first_arg);
    if (!inside && call.second_arg >= 0) {
      inside = relative(tid, call, args, call.second_arg);
    }
    if (!inside) {
      return false;
    }
    std::string kind = class_of(*inside);
    long index = ++total_;
    long in_class = ++per_class_[kind];
    record_ << index << ' ' << kind << ' ' << in_class << ' ' << call.name << ' ' << *inside << '\n';
    if (options_.kill_index == 0) {
      return false;
    }
    bool named = options_.kill_class == "any" ? index == options_.kill_index
                                              : kind == options_.kill_class && in_class == options_.kill_index;
    if (anchor_ == 0 && named) {
      anchor_ = index;
    }
    return anchor_ != 0 && index == anchor_ + options_.kill_offset;
  }

  void finish(const std::string& how) { record_ << how << '\n'; }

 private:
  std::optional<std::string> relative(pid_t tid, const CallShape& call, const uint64_t* args, int arg_index) {
    std::string path;
    if (call.first == Target::fd) {
      std::string target = read_link("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(args[arg_index]));
      if (target.empty() || target[0] != '/') {
        return std::nullopt;  // pipes, sockets, event descriptors
      }
      path = target;
    } else if (call.first == Target::path) {
      path = absolute(tid, AT_FDCWD, read_string(tid, args[arg_index]));
    } else {
      path = absolute(tid, static_cast<long>(args[arg_index - 1]), read_string(tid, args[arg_index]));
    }
    std::string root = watch_.string() + "/";
    if (path.compare(0, root.size(), root) != 0) {
      return std::nullopt;
    }
    return path.substr(root.size());
  }

  static std::string class_of(const std::string& relative_path) {
    if (relative_path == "packages/tmp" || relative_path.rfind("packages/tmp/", 0) == 0) {
      return "staging";
    }
    if (relative_path.rfind("packages/", 0) == 0 || relative_path == "packages") {
      return "packages";
    }
    if (relative_path.rfind("logs/", 0) == 0 || relative_path == "logs") {
      return "log";
    }
    return "install";
  }

  const Options& options_;
  fs::path watch_;
  std::ofstream record_;
  long total_ = 0;
  long anchor_ = 0;  // the index of the Nth call of the class, once it came
  std::map<std::string, long> per_class_;
};

std::string status_text(int status) {
  if (WIFEXITED(status)) {
    return "exited " + std::to_string(WEXITSTATUS(status));
  }
  return "signal " + std::to_string(WTERMSIG(status));
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Kills every process carrying this run's mark until none is left (a detached program may start others meanwhile).
void stop_marked_processes(const std::string& mark) {
  for (int round = 0; round < 200; ++round) {
    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == getpid()) {
        continue;
      }
      std::ifstream in(entry.path() / "environ", std::ios::binary);
      std::stringstream environment;
      environment << in.rdbuf();
      std::string text = environment.str();
      std::string wanted = mark;
      wanted.push_back('\0');
      if (text.compare(0, wanted.size(), wanted) == 0 || text.find('\0' + wanted) != std::string::npos) {
        kill(std::stoi(name), SIGKILL);
        ++found;
      }
    }
    if (found == 0) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

[[noreturn]] void start_program(const Options& options, bool traced) {
  if (traced) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
  }
  execvp(options.program[0], options.program.data());
  std::perror("kill_point: exec");
  _exit(127);
}

int run_untraced(const Options& options) {
  pid_t child = fork();
  if (child == 0) {
    start_program(options, false);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Returns the program's wait status, or -1 when it was killed at the point.
int run_traced(const Options& options) {
  Counter counter(options);
  pid_t child = fork();
  if (child == 0) {
    start_program(options, true);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ptrace(PTRACE_SETOPTIONS, child, nullptr,
         PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
  ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
  bool killed = false;
  int program_status = 0;
  for (;;) {
    pid_t tid = waitpid(-1, &status, __WALL);
    if (tid < 0) {
      break;  // every thread has gone
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (tid == child) {
        program_status = status;
      }
      continue;
    }
    int signal = WSTOPSIG(status);
    int event = status >> 16;
    if (killed) {
      continue;
    }
    if (signal == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      if (ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) > 0 && info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        if (counter.at_entry(tid, info)) {
          // A thread at a syscall-entry stop that receives SIGKILL dies without making the call.
          killed = true;
          kill(child, SIGKILL);
          continue;
        }
      }
      signal = 0;
    } else if (event != 0 || signal == SIGSTOP || signal == SIGTRAP) {
      signal = 0;  // clone and exec events, and the first stop of a new thread
    }
    ptrace(PTRACE_SYSCALL, tid, nullptr, signal);
  }
  counter.finish(killed ? "killed" : status_text(program_status));
  return killed ? -1 : program_status;
}

bool parse(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    std::string word = argv[i];
    if (word == "--untraced") {
      options->traced = false;
    } else if (i + 1 < argc && word == "--watch") {
      options->watch = argv[++i];
    } else if (i + 1 < argc && word == "--record") {
      options->record = argv[++i];
    } else if (i + 1 < argc && word == "--kill") {
      std::string point = argv[++i];
      size_t colon = point.find(':');
      if (colon == std::string::npos) {
        return false;
      }
      options->kill_class = point.substr(0, colon);
      char* rest = nullptr;
      options->kill_index = std::strtol(point.c_str() + colon + 1, &rest, 10);
      if (*rest == '+') {
        options->kill_offset = std::atol(rest + 1);
      }
    } else {
      return false;
    }
  }
  for (++i; i < argc; ++i) {
    options->program.push_back(argv[i]);
  }
  options->program.push_back(nullptr);
  return options->program.size() > 1 && (!options->traced || !options->watch.empty());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: kill_point --watch DIR [--record FILE] [--kill CLASS:N[+K]] [--untraced] -- PROGRAM ...\n");
    return 2;
  }
  std::string mark = std::string(kMarkName) + "=" + std::to_string(getpid()) + "." +
                     std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  setenv(kMarkName, mark.substr(std::strlen(kMarkName) + 1).c_str(), 1);
  int status = options.traced ? run_traced(options) : run_untraced(options);
  stop_marked_processes(mark);
  if (options.kill_index > 0) {
    return status == -1 ? 0 : 1;
  }
  return exit_code_of(status);
}
