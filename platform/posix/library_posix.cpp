#include "platform/library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/encoding.h"

namespace platform {
namespace {

std::mutex g_dll_mutex;
std::string g_dll_directory;

bool is_file(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string program_directory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return {};
  }
  std::string exe(path, static_cast<size_t>(length));
  return exe.substr(0, exe.find_last_of('/'));
}

std::string narrow(const char16_t* text) {
  int size = wide_char_to_multi_byte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) {
    return {};
  }
  std::string out(static_cast<size_t>(size), '\0');
  wide_char_to_multi_byte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out.data(), size);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

std::string to_posix(std::string path) {
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  return path;
}

}  // namespace

bool set_dll_directory(const char16_t* directory) {
  std::string path = directory ? to_posix(narrow(directory)) : std::string();
  struct stat info {};
  if (!path.empty() && (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
    return false;
  }
  std::lock_guard lock(g_dll_mutex);
  g_dll_directory = path;
  return true;
}

std::string resolve_library(const char* name) {
  std::string bare = name ? name : "";
  if (bare.empty() || bare.find_first_of("/\\") != std::string::npos) {
    return to_posix(bare);
  }
  std::string in_program_dir = program_directory() + "/" + bare;
  if (is_file(in_program_dir)) {
    return in_program_dir;
  }
  std::lock_guard lock(g_dll_mutex);
  if (!g_dll_directory.empty() && is_file(g_dll_directory + "/" + bare)) {
    return g_dll_directory + "/" + bare;
  }
  return bare;
}

}  // namespace platform
