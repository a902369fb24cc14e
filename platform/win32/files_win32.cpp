#include "platform/files.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32/disk_full_stream_win32.h"
#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

using win32::Utf16;

std::mutex g_seam_lock;
std::string g_denied_suffix;
std::string g_full_suffix;
uint64_t g_full_bytes = 0;

// Both separators count the same when a seam's suffix is compared.
std::string with_slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool denied(const char* path) {
  std::string suffix;
  {
    std::lock_guard<std::mutex> guard(g_seam_lock);
    suffix = g_denied_suffix;
  }
  if (suffix.empty()) {
    std::string from_environment;
    if (!win32::environment_variable("ZANTHO_DENY_PATH_SUFFIX", &from_environment) || from_environment.empty()) {
      return false;
    }
    suffix = with_slashes(from_environment);
  }
  return path != nullptr && ends_with(with_slashes(path), suffix);
}

// The C runtime's failure (errno) and Kernel32's (last error) at once, as a locked file gives them.
int fail_denied() {
  errno = EACCES;
  SetLastError(ERROR_ACCESS_DENIED);
  return -1;
}

bool disk_full_room(const char* path, uint64_t* room) {
  std::lock_guard<std::mutex> guard(g_seam_lock);
  if (g_full_suffix.empty() || !ends_with(with_slashes(path), g_full_suffix)) {
    return false;
  }
  *room = g_full_bytes;
  return true;
}

// Wine run by root writes to, and replaces, a read-only file; Windows never does, and the launcher relies on that.
bool read_only_file(const char* path) {
  DWORD attributes = GetFileAttributesW(Utf16(path).get());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool move(const char* from, const char* to, DWORD flags) {
  return MoveFileExW(Utf16(from).get(), Utf16(to).get(), flags) != FALSE;
}

// A destination Windows refuses to replace: a directory or a read-only file.
bool kept_destination(const char* path) {
  DWORD attributes = GetFileAttributesW(Utf16(path).get());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
}

// Straight on the handles, without the C runtime's streams; the disk-full seam's room is kept here, as its stream
// keeps it for the streams' copy.
bool copy_handle(HANDLE source, HANDLE destination, const char* destination_path) {
  uint64_t room = UINT64_MAX;
  disk_full_room(destination_path, &room);
  static constexpr DWORD kBlock = 65536;
  std::string block(kBlock, '\0');
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, block.data(), kBlock, &read, nullptr)) {
      return false;
    }
    if (read == 0) {
      return true;
    }
    DWORD take = static_cast<DWORD>(std::min<uint64_t>(read, room));
    DWORD written = 0;
    if (take > 0 && !WriteFile(destination, block.data(), take, &written, nullptr)) {
      return false;
    }
    room -= written;
    if (written < read) {
      errno = ENOSPC;
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
  }
}

// Puts the open file at `destination`, replacing what is there, in one rename of its own handle.
bool rename_open_file(HANDLE file, const char* destination) {
  std::wstring name = win32::to_utf16(destination ? destination : "");
  size_t name_bytes = (name.size() + 1) * sizeof(wchar_t);  // its terminator included
  std::vector<unsigned char> buffer(
      std::max(offsetof(FILE_RENAME_INFO, FileName) + name_bytes, sizeof(FILE_RENAME_INFO)));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes - sizeof(wchar_t));
  std::memcpy(info->FileName, name.c_str(), name_bytes);
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}

// The copy of copy_file_replacing, with the temporary left to its caller on failure.
bool copy_and_rename(const char* source, const char* temporary, const char* destination, bool flush) {
  if (denied(source) || denied(temporary) || denied(destination) || read_only_file(temporary) ||
      kept_destination(destination)) {
    return fail_denied() == 0;
  }
  HANDLE in = CreateFileW(Utf16(source).get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    return false;
  }
  HANDLE out = CreateFileW(Utf16(temporary).get(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CloseHandle(in);
    SetLastError(error);
    return false;
  }
  bool done =
      copy_handle(in, out, temporary) && (!flush || FlushFileBuffers(out)) && rename_open_file(out, destination);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  CloseHandle(in);
  CloseHandle(out);
  SetLastError(error);
  return done;
}

void fill(const WIN32_FIND_DATAW& found, FindData* data) {
  data->attributes = found.dwFileAttributes;
  data->size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  data->name = win32::to_utf8(found.cFileName);
}

}  // namespace

std::string native_path(const char* path) {
  std::string out(path ? path : "");
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

void set_denied_path_suffix(const char* suffix) {
  std::lock_guard<std::mutex> guard(g_seam_lock);
  g_denied_suffix = suffix ? with_slashes(suffix) : std::string();
}

void set_disk_full_path_suffix(const char* suffix, uint64_t bytes) {
  std::lock_guard<std::mutex> guard(g_seam_lock);
  g_full_suffix = suffix ? with_slashes(suffix) : std::string();
  g_full_bytes = bytes;
}

FILE* open_stream(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (denied(path) || (std::strpbrk(mode, "wa+") != nullptr && read_only_file(path))) {
    fail_denied();
    return nullptr;
  }
  // "N": the stream's handle is not inherited by programs this process starts.
  FILE* stream = _wfopen(Utf16(path).get(), win32::to_utf16(std::string(mode) + "N").c_str());
  uint64_t room = 0;
  if (stream != nullptr && std::strpbrk(mode, "wa") != nullptr && disk_full_room(path, &room)) {
    return win32::disk_full_stream(stream, room);
  }
  return stream;
}

int64_t tell_stream(FILE* stream) { return _ftelli64(stream); }

int seek_stream(FILE* stream, int64_t offset, int origin) { return _fseeki64(stream, offset, origin); }

// The 64-bit form of _stat, so sizes beyond 2 GiB come back whole.
int stat_path(const char* path, FileStatus* status) {
  struct _stat64 st;
  if (_wstat64(Utf16(path).get(), &st) != 0) {
    return -1;
  }
  status->directory = (st.st_mode & _S_IFDIR) != 0;
  status->size = static_cast<uint64_t>(st.st_size);
  status->modified_time = static_cast<int64_t>(st.st_mtime);
  return 0;
}

int make_directory(const char* path) { return denied(path) ? fail_denied() : _wmkdir(Utf16(path).get()); }

int remove_file(const char* path) { return denied(path) ? fail_denied() : _wremove(Utf16(path).get()); }

int rename_path(const char* old_path, const char* new_path) {
  return denied(old_path) || denied(new_path) ? fail_denied()
                                                : _wrename(Utf16(old_path).get(), Utf16(new_path).get());
}

bool copy_stream(FILE* source, FILE* destination) {
  static constexpr size_t kBlock = 65536;
  std::string block(kBlock, '\0');
  for (size_t read; (read = std::fread(block.data(), 1, kBlock, source)) > 0;) {
    if (std::fwrite(block.data(), 1, read, destination) < read) {
      return false;
    }
  }
  return !std::ferror(source);
}

bool copy_file_replacing(const char* source, const char* temporary, const char* destination, bool flush) {
  if (copy_and_rename(source, temporary, destination, flush)) {
    return true;
  }
  int error = errno;
  DWORD code = GetLastError();
  DeleteFileW(Utf16(temporary).get());
  errno = error;
  SetLastError(code);
  return false;
}

bool move_file_replacing(const char* old_path, const char* new_path) {
  if (denied(old_path) || denied(new_path) || read_only_file(new_path)) {
    return fail_denied() == 0;
  }
  return move(old_path, new_path, MOVEFILE_REPLACE_EXISTING);
}

bool flush_file(const char* path) {
  if (denied(path) || read_only_file(path)) {
    return fail_denied() == 0;
  }
  HANDLE file = CreateFileW(Utf16(path).get(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool flushed = FlushFileBuffers(file) != FALSE;
  DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(flushed ? ERROR_SUCCESS : error);
  return flushed;
}

// Windows has no exchange of two names: the file goes aside first, and comes back when the stand-in cannot follow.
bool move_aside_with_stand_in(const char* path, const char* aside, const char* stand_in) {
  if (denied(path) || denied(aside) || denied(stand_in)) {
    return fail_denied() == 0;
  }
  if (!move(path, aside, 0)) {
    return false;
  }
  if (!move(stand_in, path, 0)) {
    DWORD error = GetLastError();
    move(aside, path, 0);
    SetLastError(error);
    return false;
  }
  return true;
}

Handle find_first_file(const char* pattern, FindData* data) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Utf16(pattern).get(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  fill(found, data);
  return search;
}

bool find_next_file(Handle search, FindData* data) {
  WIN32_FIND_DATAW found;
  if (!FindNextFileW(search, &found)) {
    return false;
  }
  fill(found, data);
  return true;
}

bool find_close(Handle search) { return FindClose(search) != FALSE; }

uint32_t get_file_attributes(const char* path) { return GetFileAttributesW(Utf16(path).get()); }

bool set_file_attributes(const char* path, uint32_t attributes) {
  return denied(path) ? fail_denied() == 0 : SetFileAttributesW(Utf16(path).get(), attributes) != FALSE;
}

bool delete_file(const char* path) {
  return denied(path) ? fail_denied() == 0 : DeleteFileW(Utf16(path).get()) != FALSE;
}

bool remove_directory(const char* path) {
  return denied(path) ? fail_denied() == 0 : RemoveDirectoryW(Utf16(path).get()) != FALSE;
}

char* get_current_directory(char* buffer, size_t size) {
  wchar_t* wide = _wgetcwd(nullptr, 0);
  if (wide == nullptr) {
    return nullptr;
  }
  std::string text = win32::to_utf8(wide);
  std::free(wide);
  if (buffer == nullptr || text.size() >= size) {
    errno = ERANGE;
    return nullptr;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return buffer;
}

bool set_current_directory(const char* path) { return SetCurrentDirectoryW(Utf16(path).get()) != FALSE; }

uint32_t get_current_directory_w(char16_t* buffer, uint32_t size) {
  return GetCurrentDirectoryW(size, reinterpret_cast<wchar_t*>(buffer));
}

bool set_current_directory_w(const char16_t* path) {
  return SetCurrentDirectoryW(reinterpret_cast<const wchar_t*>(path)) != FALSE;
}

}  // namespace platform
