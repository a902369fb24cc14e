// Files and directories with Windows' meaning: both "\" and "/" separate, a leading "\\?\" is accepted and
// stripped, rename never replaces, attribute bits and error numbers as on Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/handle.h"

namespace platform {

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// The path as this system names it: "\\?\" stripped, every "\" made "/".
std::string native_path(const char* path);

// The C runtime's side (fopen, _stat, _mkdir, remove, rename): results 0 / -1 and null, the error in errno
// (and in last_error()).
// fopen: a directory cannot be opened, nor can a read-only file or a running program's image be opened for writing;
// streams are not inherited by started programs.
FILE* open_stream(const char* path, const char* mode);
int64_t tell_stream(FILE* stream);
int seek_stream(FILE* stream, int64_t offset, int origin);

struct FileStatus {
  bool directory;
  uint64_t size;
  int64_t modified_time;  // seconds since 1970
};
int stat_path(const char* path, FileStatus* status);
int make_directory(const char* path);  // -1 with errno EEXIST when any entry has the name
int remove_file(const char* path);     // files only; a read-only file or a running program's image is not removed
int rename_path(const char* old_path, const char* new_path);  // never replaces: -1 with errno EEXIST
// Copies what is left of `source` to `destination` (streams from open_stream): true when the source was read to its
// end and every byte written; false on a read error or a short write (errno ENOSPC on a full disk). In the kernel
// where it can be (copy_file_range here), else through the streams; Windows: a read/write loop.
bool copy_stream(FILE* source, FILE* destination);

// Kernel32's side of a replacing move and a flush (MoveFileExW with MOVEFILE_REPLACE_EXISTING, FlushFileBuffers).
// Replacing fails with ERROR_ACCESS_DENIED when the destination is a directory, read-only, or the image of a running
// program (this process's own included), as Windows refuses to delete those; such an image's name can still move
// (rename_path, move_aside_with_stand_in).
bool move_file_replacing(const char* old_path, const char* new_path);
// Writes the file's data through to the disk (opened for writing, flushed, closed).
bool flush_file(const char* path);
// Copies `source` to `temporary` (created or emptied), writes it through to the disk when `flush` says so, and moves
// it over `destination` as move_file_replacing does, so the destination is its old file or the new one at every
// moment. Fails as those steps do (a missing source, a short write, a read-only, denied or directory destination);
// the temporary is then removed. Windows: a ReadFile/WriteFile loop on the handles, and the rename through the
// temporary's own open handle, which spares opening it again by name.
bool copy_file_replacing(const char* source, const char* temporary, const char* destination, bool flush);
// Moves the file at `path` to `aside` (never replacing) and puts `stand_in` at `path`, so that `path` never stands
// empty: here an exchange of the two names (renameat2 RENAME_EXCHANGE) and then the move to `aside`. Windows has no
// exchange: MoveFileExW(path, aside, 0), then MoveFileExW(stand_in, path, 0). On failure nothing has moved.
bool move_aside_with_stand_in(const char* path, const char* aside, const char* stand_in);

// Kernel32's side: booleans and handles, the error in last_error().
struct FindData {
  uint32_t attributes;
  uint64_t size;
  std::string name;  // the entry's name without directory
};
// The pattern's last component may hold "*" and "?"; "dir\*" lists "." and ".." too. Null when nothing matches
// (ERROR_FILE_NOT_FOUND) or the directory cannot be read (ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED).
Handle find_first_file(const char* pattern, FindData* data);
// False with ERROR_NO_MORE_FILES after the last entry.
bool find_next_file(Handle search, FindData* data);
bool find_close(Handle search);

// Of the entry itself: a link is not followed (FILE_ATTRIBUTE_REPARSE_POINT, with the directory attribute when
// it points to a directory). INVALID_FILE_ATTRIBUTES on failure.
uint32_t get_file_attributes(const char* path);
// FILE_ATTRIBUTE_READONLY takes every write permission away; without it the owner may write again.
bool set_file_attributes(const char* path, uint32_t attributes);
// Fails with ERROR_ACCESS_DENIED for a directory, a read-only file and the image of a running program.
bool delete_file(const char* path);
// Empty directories only (ERROR_DIR_NOT_EMPTY); a link to a directory is removed as the link.
bool remove_directory(const char* path);

// Like _getcwd: null when the directory does not fit (errno ERANGE).
char* get_current_directory(char* buffer, size_t size);
bool set_current_directory(const char* path);
// Like GetCurrentDirectoryW: the length without terminator; when the buffer is too small, the size needed
// (terminator included) and nothing written; 0 on failure.
uint32_t get_current_directory_w(char16_t* buffer, uint32_t size);
bool set_current_directory_w(const char16_t* path);

// Test seam: while a suffix is set (by this call, or else by the environment variable ZANTHO_DENY_PATH_SUFFIX),
// opening, making, removing, renaming (replacing too), flushing, deleting and setting attributes of any path that
// ends with it fail with access denied (errno EACCES, ERROR_ACCESS_DENIED), as a locked or protected file would,
// also for root.
// Null or "" clears what this call set.
void set_denied_path_suffix(const char* suffix);
// Test seam: a stream opened for writing on a path that ends with this suffix takes `bytes` bytes in all; beyond
// them writes come out short and fail with ENOSPC, as on a full disk (copy_stream included). Null clears.
void set_disk_full_path_suffix(const char* suffix, uint64_t bytes);

}  // namespace platform
