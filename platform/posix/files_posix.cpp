#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/posix/errno_map_posix.h"
#include "platform/posix/handle_table_posix.h"

namespace platform {
namespace {

struct Search {
  std::vector<FindData> entries;
  size_t next = 0;
};

// The most one copy_file_range call is asked for; the kernel copies in pieces of its own below that.
constexpr size_t kKernelCopyChunk = size_t{1} << 30;

std::mutex g_seam_lock;
std::string g_denied_suffix;
std::string g_full_suffix;
uint64_t g_full_bytes = 0;

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// errno for the C runtime's side, last_error() for Kernel32's: every failure sets both.
int fail_crt(int error_number) {
  errno = error_number;
  set_last_error(posix::windows_error(error_number));
  return -1;
}

bool failed(int error_number) {
  fail_crt(error_number);
  return false;
}

bool fail_win(uint32_t error) {
  set_last_error(error);
  errno = error == ERROR_ACCESS_DENIED ? EACCES : errno;
  return false;
}

bool denied(const std::string& native) {
  std::string suffix;
  {
    std::lock_guard<std::mutex> guard(g_seam_lock);
    suffix = g_denied_suffix;
  }
  if (suffix.empty()) {
    const char* from_environment = std::getenv("ZANTHO_DENY_PATH_SUFFIX");
    if (from_environment == nullptr || *from_environment == 0) {
      return false;
    }
    suffix = native_path(from_environment);
  }
  return ends_with(native, suffix);
}

// A stream over a real one that takes only so many bytes, for set_disk_full_path_suffix.
struct FullDisk {
  FILE* inner;
  uint64_t room;
};

ssize_t full_disk_read(void* cookie, char* buffer, size_t size) {
  FILE* inner = static_cast<FullDisk*>(cookie)->inner;
  size_t read = std::fread(buffer, 1, size, inner);
  return read == 0 && std::ferror(inner) ? -1 : static_cast<ssize_t>(read);
}

ssize_t full_disk_write(void* cookie, const char* buffer, size_t size) {
  auto* disk = static_cast<FullDisk*>(cookie);
  size_t allowed = size < disk->room ? size : static_cast<size_t>(disk->room);
  size_t written = std::fwrite(buffer, 1, allowed, disk->inner);
  std::fflush(disk->inner);
  disk->room -= written;
  if (written < size) {
    errno = ENOSPC;
  }
  // The stream reads 0 as the error; -1 would pass for a whole write.
  return static_cast<ssize_t>(written);
}

int full_disk_seek(void* cookie, off64_t* offset, int origin) {
  FILE* inner = static_cast<FullDisk*>(cookie)->inner;
  if (fseeko(inner, *offset, origin) != 0) {
    return -1;
  }
  *offset = ftello(inner);
  return 0;
}

int full_disk_close(void* cookie) {
  auto* disk = static_cast<FullDisk*>(cookie);
  int result = std::fclose(disk->inner);
  delete disk;
  return result;
}

FILE* wrap_if_disk_full(FILE* stream, const std::string& native, const char* mode) {
  uint64_t bytes;
  {
    std::lock_guard<std::mutex> guard(g_seam_lock);
    if (g_full_suffix.empty() || !ends_with(native, g_full_suffix)) {
      return stream;
    }
    bytes = g_full_bytes;
  }
  auto* disk = new FullDisk{stream, bytes};
  FILE* wrapped = fopencookie(disk, mode, {full_disk_read, full_disk_write, full_disk_seek, full_disk_close});
  if (wrapped == nullptr) {
    delete disk;
    return stream;
  }
  return wrapped;
}

bool read_only(const struct stat& st) { return !S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0; }

// Windows keeps the image of a running program from being deleted. The image stays the same file for the whole
// process, whatever its name becomes, so it is looked up once.
bool own_executable(const struct stat& st) {
  static const struct stat exe = [] {
    struct stat found {};
    if (stat("/proc/self/exe", &found) != 0) {
      found.st_ino = 0;
    }
    return found;
  }();
  return exe.st_ino != 0 && exe.st_dev == st.st_dev && exe.st_ino == st.st_ino;
}

// Windows keeps the image of every running program from being replaced or deleted, but lets its name move. Linux
// refuses to open a running executable for writing (ETXTBSY), which tells exactly that, whoever started it.
bool running_image(const std::string& native, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    return false;
  }
  if (own_executable(st)) {
    return true;
  }
  int error = errno;
  int fd = open(native.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  bool busy = fd < 0 && errno == ETXTBSY;
  if (fd >= 0) {
    close(fd);
  }
  errno = error;
  return busy;
}

// Of the entry itself, as Windows gives them without following a link: a link is a reparse point, and a
// directory too when its target is one.
uint32_t attributes_of(const std::string& native, const struct stat& st) {
  uint32_t attributes = 0;
  struct stat target;
  if (S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode))) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  if (S_ISLNK(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  if (read_only(st)) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Windows patterns: "*" and "?" only ("[" is an ordinary character), and "*.*" matches every name.
bool matches(const std::string& pattern, const char* name) {
  if (pattern == "*" || pattern == "*.*") {
    return true;
  }
  std::string glob;
  for (char c : pattern) {
    if (c == '[') {
      glob.append("[[]");
    } else {
      glob.push_back(c);
    }
  }
  return fnmatch(glob.c_str(), name, 0) == 0;
}

bool fill_entry(const std::string& path, const std::string& name, FindData* data) {
  struct stat st;
  // Links are listed as themselves, so a tree walk never follows one out of its tree.
  if (lstat(path.c_str(), &st) != 0) {
    return false;
  }
  data->attributes = attributes_of(path, st);
  data->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  data->name = name;
  return true;
}

std::string parent_of(const std::string& native) {
  size_t slash = native.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : native.rfind('/', slash);
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : native.substr(0, slash);
}

// Windows' read-only attribute on a directory does not protect the entries in it: where the owner has taken a
// directory's write permission away, it is lent back for the one removal, so removing works alike for every user.
int remove_entry(const std::string& native, bool directory) {
  auto remove = [&] { return directory ? rmdir(native.c_str()) : unlink(native.c_str()); };
  if (remove() == 0) {
    return 0;
  }
  if (errno != EACCES) {
    return -1;
  }
  std::string parent = parent_of(native);
  struct stat st;
  if (stat(parent.c_str(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & S_IWUSR) != 0 ||
      chmod(parent.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
    errno = EACCES;
    return -1;
  }
  int result = remove();
  int error = errno;
  chmod(parent.c_str(), st.st_mode & 07777);
  errno = error;
  return result;
}

}  // namespace

std::string native_path(const char* path) {
  std::string out(path ? path : "");
  std::replace(out.begin(), out.end(), '\\', '/');
  if (out.compare(0, 4, "//?/") == 0) {
    out.erase(0, 4);
  }
  return out;
}

void set_disk_full_path_suffix(const char* suffix, uint64_t bytes) {
  std::lock_guard<std::mutex> guard(g_seam_lock);
  g_full_suffix = suffix ? native_path(suffix) : std::string();
  g_full_bytes = bytes;
}

void set_denied_path_suffix(const char* suffix) {
  std::lock_guard<std::mutex> guard(g_seam_lock);
  g_denied_suffix = suffix ? native_path(suffix) : std::string();
}

FILE* open_stream(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    fail_crt(EINVAL);
    return nullptr;
  }
  std::string native = native_path(path);
  if (denied(native)) {
    fail_crt(EACCES);
    return nullptr;
  }
  bool writing = std::strpbrk(mode, "wa+") != nullptr;
  struct stat st;
  if (writing && stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && read_only(st)) {
    fail_crt(EACCES);
    return nullptr;
  }
  std::string flags = std::string(mode) + "e";
  FILE* stream = std::fopen(native.c_str(), flags.c_str());
  if (stream == nullptr) {
    // A running program's image, which Windows' C runtime refuses as access denied.
    fail_crt(errno == ETXTBSY ? EACCES : errno);
    return nullptr;
  }
  if (fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(stream);
    fail_crt(EACCES);
    return nullptr;
  }
  // Windows has no execute permission: any file can be run, so a file written here can be run too
  // (a program unpacked from a package, say). Whoever may read it may execute it. Also a file that exists already:
  // a run killed between making a file and this change leaves one without.
  mode_t runnable = st.st_mode | ((st.st_mode & 0444) >> 2);
  if (writing && S_ISREG(st.st_mode) && runnable != st.st_mode) {
    fchmod(fileno(stream), runnable & 07777);
  }
  return writing ? wrap_if_disk_full(stream, native, mode) : stream;
}

int64_t tell_stream(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

int seek_stream(FILE* stream, int64_t offset, int origin) { return fseeko(stream, static_cast<off_t>(offset), origin); }

int stat_path(const char* path, FileStatus* status) {
  struct stat st;
  if (stat(native_path(path).c_str(), &st) != 0) {
    return fail_crt(errno);
  }
  status->directory = S_ISDIR(st.st_mode);
  status->size = static_cast<uint64_t>(st.st_size);
  status->modified_time = static_cast<int64_t>(st.st_mtime);
  return 0;
}

int make_directory(const char* path) {
  std::string native = native_path(path);
  if (denied(native)) {
    return fail_crt(EACCES);
  }
  return mkdir(native.c_str(), 0777) == 0 ? 0 : fail_crt(errno);
}

int remove_file(const char* path) {
  std::string native = native_path(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    return fail_crt(errno);
  }
  if (denied(native) || S_ISDIR(st.st_mode) || read_only(st) || running_image(native, st)) {
    return fail_crt(EACCES);
  }
  return remove_entry(native, false) == 0 ? 0 : fail_crt(errno);
}

int rename_path(const char* old_path, const char* new_path) {
  std::string from = native_path(old_path);
  std::string to = native_path(new_path);
  if (denied(from) || denied(to)) {
    return fail_crt(EACCES);
  }
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return fail_crt(errno);
  }
  // A file system without the no-replace flag: test first (not atomic, but never replaces what was there).
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    return fail_crt(EEXIST);
  }
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : fail_crt(errno);
}

bool copy_stream(FILE* source, FILE* destination) {
  // A stream of the disk-full seam has no descriptor: it takes the loop below, so the seam sees every byte.
  int in = fileno(source);
  int out = fileno(destination);
  struct stat st;
  if (in >= 0 && out >= 0 && std::fflush(destination) == 0 && fstat(in, &st) == 0 && S_ISREG(st.st_mode)) {
    off64_t in_at = ftello(source);
    off64_t out_at = ftello(destination);
    bool copied_any = false;
    bool kernel = true;
    for (;;) {
      ssize_t copied = copy_file_range(in, &in_at, out, &out_at, kKernelCopyChunk, 0);
      if (copied > 0) {
        copied_any = true;
        continue;
      }
      if (copied == 0 && (copied_any || st.st_size == 0)) {
        break;
      }
      if (copied < 0 && errno == EINTR) {
        continue;
      }
      // Nothing copied yet: another file system, or a file whose size the kernel does not know (as in /proc).
      if (!copied_any && (copied == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
        kernel = false;
        break;
      }
      int error = errno;
      fseeko(source, in_at, SEEK_SET);
      fseeko(destination, out_at, SEEK_SET);
      fail_crt(error);
      return false;
    }
    if (kernel) {
      return fseeko(source, in_at, SEEK_SET) == 0 && fseeko(destination, out_at, SEEK_SET) == 0;
    }
  }
  static constexpr size_t kBlock = 65536;
  std::unique_ptr<unsigned char[]> block(new unsigned char[kBlock]);
  for (size_t read; (read = std::fread(block.get(), 1, kBlock, source)) > 0;) {
    if (std::fwrite(block.get(), 1, read, destination) < read) {
      fail_crt(errno != 0 ? errno : ENOSPC);
      return false;
    }
  }
  if (std::ferror(source)) {
    fail_crt(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

bool copy_file_replacing(const char* source, const char* temporary, const char* destination, bool flush) {
  FILE* in = open_stream(source, "rb");
  FILE* out = in != nullptr ? open_stream(temporary, "wb") : nullptr;
  bool done = out != nullptr && copy_stream(in, out);
  if (in != nullptr) {
    std::fclose(in);
  }
  // Buffered bytes that cannot be written at the close count as a short write.
  if (out != nullptr && std::fclose(out) != 0 && done) {
    fail_crt(errno != 0 ? errno : EIO);
    done = false;
  }
  done = done && (!flush || flush_file(temporary)) && move_file_replacing(temporary, destination);
  if (!done) {
    int error = errno;
    uint32_t code = last_error();
    remove_file(temporary);
    errno = error;
    set_last_error(code);
  }
  return done;
}

bool move_file_replacing(const char* old_path, const char* new_path) {
  std::string from = native_path(old_path);
  std::string to = native_path(new_path);
  if (denied(from) || denied(to)) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  struct stat st;
  if (lstat(to.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || read_only(st) || running_image(to, st))) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  return std::rename(from.c_str(), to.c_str()) == 0 || failed(errno);
}

bool flush_file(const char* path) {
  std::string native = native_path(path);
  struct stat st;
  if (denied(native) || (stat(native.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || read_only(st)))) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  int fd = open(native.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return failed(errno);
  }
  bool flushed = fsync(fd) == 0;
  int error = errno;
  close(fd);
  return flushed || failed(error);
}

bool move_aside_with_stand_in(const char* path, const char* aside, const char* stand_in) {
  std::string target = native_path(path);
  std::string away = native_path(aside);
  std::string stand = native_path(stand_in);
  if (denied(target) || denied(away) || denied(stand)) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  struct stat st;
  if (lstat(away.c_str(), &st) == 0) {
    return failed(EEXIST);
  }
  if (renameat2(AT_FDCWD, stand.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) {
      return failed(errno);
    }
    // A file system without the exchange: two moves, as on Windows.
    if (rename_path(path, aside) != 0) {
      return false;
    }
    if (rename_path(stand_in, path) != 0) {
      int error = errno;
      rename_path(aside, path);
      return failed(error);
    }
    return true;
  }
  // The stand-in's name now holds the file that was at `path`.
  if (renameat2(AT_FDCWD, stand.c_str(), AT_FDCWD, away.c_str(), RENAME_NOREPLACE) != 0) {
    int error = errno;
    renameat2(AT_FDCWD, stand.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
    return failed(error);
  }
  return true;
}

Handle find_first_file(const char* pattern, FindData* data) {
  std::string native = native_path(pattern);
  size_t slash = native.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : native.substr(0, slash);
  std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
  if (dir.empty()) {
    dir.push_back('/');
  }
  if (name.empty()) {
    fail_win(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  auto search = std::make_shared<Search>();
  if (name.find_first_of("*?") == std::string::npos) {
    FindData entry;
    if (!fill_entry(native, name, &entry)) {
      fail_win(errno == ENOENT ? ERROR_FILE_NOT_FOUND : posix::windows_error(errno));
      return nullptr;
    }
    search->entries.push_back(entry);
  } else {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
      fail_win(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : posix::windows_error(errno));
      return nullptr;
    }
    // The whole listing is read at once, so deleting entries while walking it misses none.
    while (struct dirent* found = readdir(listing)) {
      FindData entry;
      if (matches(name, found->d_name) && fill_entry(dir + "/" + found->d_name, found->d_name, &entry)) {
        search->entries.push_back(entry);
      }
    }
    closedir(listing);
    std::sort(search->entries.begin(), search->entries.end(),
              [](const FindData& a, const FindData& b) { return a.name < b.name; });
  }
  if (search->entries.empty()) {
    fail_win(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  *data = search->entries[0];
  search->next = 1;
  return posix::insert_handle(posix::HandleKind::search, search);
}

bool find_next_file(Handle handle, FindData* data) {
  auto search = posix::find_handle_as<Search>(handle, posix::HandleKind::search);
  if (!search) {
    return false;
  }
  if (search->next >= search->entries.size()) {
    return fail_win(ERROR_NO_MORE_FILES);
  }
  *data = search->entries[search->next++];
  return true;
}

bool find_close(Handle handle) {
  posix::HandleKind kind;
  if (!posix::handle_kind(handle, &kind) || kind != posix::HandleKind::search) {
    return fail_win(ERROR_INVALID_HANDLE);
  }
  return close_handle(handle);
}

uint32_t get_file_attributes(const char* path) {
  std::string native = native_path(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    posix::fail_from_errno();
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes_of(native, st);
}

bool set_file_attributes(const char* path, uint32_t attributes) {
  std::string native = native_path(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    return posix::fail_from_errno();
  }
  if (denied(native)) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  if (S_ISLNK(st.st_mode)) {
    return true;  // a link has no permissions of its own; its target is not touched
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~static_cast<mode_t>(0222);
  } else if ((mode & 0222) == 0) {
    mode |= S_IWUSR;
  }
  if (mode == (st.st_mode & 07777)) {
    return true;
  }
  return chmod(native.c_str(), mode) == 0 || posix::fail_from_errno();
}

bool delete_file(const char* path) {
  std::string native = native_path(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    return posix::fail_from_errno();
  }
  if (denied(native) || S_ISDIR(st.st_mode) || read_only(st) || running_image(native, st)) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  return remove_entry(native, false) == 0 || posix::fail_from_errno();
}

bool remove_directory(const char* path) {
  std::string native = native_path(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    return posix::fail_from_errno();
  }
  // A link to a directory goes as the link; what it points to stays.
  if (S_ISLNK(st.st_mode) && (attributes_of(native, st) & FILE_ATTRIBUTE_DIRECTORY)) {
    if (denied(native)) {
      return fail_win(ERROR_ACCESS_DENIED);
    }
    return remove_entry(native, false) == 0 || posix::fail_from_errno();
  }
  if (!S_ISDIR(st.st_mode)) {
    return fail_win(ERROR_PATH_NOT_FOUND);
  }
  if (denied(native) || read_only(st)) {
    return fail_win(ERROR_ACCESS_DENIED);
  }
  return remove_entry(native, true) == 0 || posix::fail_from_errno();
}

char* get_current_directory(char* buffer, size_t size) {
  if (getcwd(buffer, size) == nullptr) {
    fail_crt(errno);
    return nullptr;
  }
  return buffer;
}

bool set_current_directory(const char* path) {
  return chdir(native_path(path).c_str()) == 0 || posix::fail_from_errno();
}

uint32_t get_current_directory_w(char16_t* buffer, uint32_t size) {
  std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
  if (!cwd) {
    posix::fail_from_errno();
    return 0;
  }
  int needed = multi_byte_to_wide_char(CP_UTF8, 0, cwd.get(), -1, nullptr, 0);
  if (needed <= 0) {
    return 0;
  }
  if (buffer == nullptr || static_cast<uint32_t>(needed) > size) {
    return static_cast<uint32_t>(needed);
  }
  multi_byte_to_wide_char(CP_UTF8, 0, cwd.get(), -1, buffer, needed);
  return static_cast<uint32_t>(needed - 1);
}

bool set_current_directory_w(const char16_t* path) {
  if (path == nullptr) {
    return fail_win(ERROR_INVALID_PARAMETER);
  }
  int needed = wide_char_to_multi_byte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (needed <= 0) {
    return false;
  }
  std::string narrow(static_cast<size_t>(needed), '\0');
  wide_char_to_multi_byte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, narrow.data(), needed);
  return set_current_directory(narrow.c_str());
}

}  // namespace platform
