#include "platform/shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/posix/errno_map_posix.h"
#include "platform/posix/spawn_posix.h"
#include "platform/process.h"

namespace platform {
namespace {

std::atomic<uint32_t> g_forced_failure{0};

std::string utf8(const char16_t* text) {
  if (!text || !*text) {
    return {};
  }
  int size = wide_char_to_multi_byte(CP_UTF8, 0, text, -1, nullptr, 0);
  if (size <= 0) {
    return {};
  }
  std::string result(static_cast<size_t>(size), '\0');
  wide_char_to_multi_byte(CP_UTF8, 0, text, -1, result.data(), size);
  result.resize(static_cast<size_t>(size - 1));
  return result;
}

bool verb_runs_file(const std::string& verb) { return verb.empty() || verb == "open" || verb == "runas"; }

// The small numbers ShellExecuteW returns in place of an instance; a failure without one of its own reads as
// access denied.
intptr_t shell_value(uint32_t error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND:
      return SE_ERR_PNF;
    case ERROR_NOT_ENOUGH_MEMORY:
      return SE_ERR_OOM;
    case ERROR_NO_ASSOCIATION:
      return SE_ERR_NOASSOC;
    default:
      return SE_ERR_ACCESSDENIED;
  }
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') {
    return path;
  }
  std::vector<char> cwd(4096);
  if (!getcwd(cwd.data(), cwd.size())) {
    return path;
  }
  return std::string(cwd.data()) + "/" + path;
}

// Why the file cannot be run, as Windows names it; 0 when it can.
uint32_t file_problem(const std::string& file) {
  struct stat info;
  if (stat(file.c_str(), &info) != 0) {
    if (errno == ENOTDIR) {
      return ERROR_PATH_NOT_FOUND;
    }
    if (errno != ENOENT) {
      return posix::windows_error(errno);
    }
    std::string parent = file.substr(0, file.find_last_of('/'));
    return parent.empty() || stat(parent.c_str(), &info) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  // A folder or a document would open in another program there; here only programs run.
  if (S_ISDIR(info.st_mode) || access(file.c_str(), X_OK) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  return 0;
}

uint32_t run(ShellExecuteInfo* info) {
  if (uint32_t forced = g_forced_failure.load()) {
    return forced;
  }
  if (!verb_runs_file(utf8(info->verb))) {
    return ERROR_NO_ASSOCIATION;
  }
  std::string file = posix::posix_path(utf8(info->file));
  if (file.empty()) {
    return ERROR_FILE_NOT_FOUND;
  }
  file = absolute(file);
  if (uint32_t problem = file_problem(file)) {
    return problem;
  }
  posix::SpawnRequest request;
  request.program = file;
  request.arguments = posix::split_command_line(utf8(info->parameters), false);
  request.directory = posix::posix_path(utf8(info->directory));
  if (!request.directory.empty()) {
    struct stat dir_info;
    if (stat(request.directory.c_str(), &dir_info) != 0 || !S_ISDIR(dir_info.st_mode)) {
      return ERROR_PATH_NOT_FOUND;
    }
  }
  pid_t pid = 0;
  if (int error = posix::spawn_detached(request, &pid)) {
    return posix::windows_error(error);
  }
  // A program that has ended already leaves no process to hand back; the start still succeeded.
  if (info->mask & SEE_MASK_NOCLOSEPROCESS) {
    info->process = open_process(static_cast<uint32_t>(pid));
  }
  return 0;
}

}  // namespace

bool shell_execute_ex(ShellExecuteInfo* info) {
  if (!info || info->size != sizeof(ShellExecuteInfo)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  info->process = nullptr;
  uint32_t error = run(info);
  if (error != 0) {
    info->instance_app = shell_value(error);
    set_last_error(error);
    return false;
  }
  info->instance_app = 42;
  set_last_error(ERROR_SUCCESS);
  return true;
}

intptr_t shell_execute(Hwnd window, const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int show) {
  ShellExecuteInfo info{};
  info.size = sizeof info;
  info.window = window;
  info.verb = verb;
  info.file = file;
  info.parameters = parameters;
  info.directory = directory;
  info.show = show;
  shell_execute_ex(&info);
  return info.instance_app;
}

void set_shell_failure(uint32_t error) { g_forced_failure.store(error); }

}  // namespace platform
