#include "common/file_ops.h"

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"

namespace {

// One per thread: every call yields the same text, and two threads never write into each other's.
thread_local char g_cwd_buffer[kPathBufferSize];

// "\\?\<cwd>\<relative>" with every "/" made "\"; false (errno ENAMETOOLONG) when it does not fit or the current
// directory cannot be read.
bool long_path(const char* relative_path, char* buffer) {
  std::memset(buffer, 0, kPathBufferSize);
  const char* cwd = get_current_dir();
  if (cwd == nullptr || relative_path == nullptr) {
    return false;
  }
  // At a drive's root the directory already ends in its separator; a long path takes no doubled one.
  size_t cwd_length = std::strlen(cwd);
  const char* separator = cwd_length > 0 && (cwd[cwd_length - 1] == '\\' || cwd[cwd_length - 1] == '/') ? "" : "\\";
  int written = std::snprintf(buffer, kPathBufferSize, "\\\\?\\%s%s%s", cwd, separator, relative_path);
  if (written < 0 || written >= kPathBufferSize) {
    std::memset(buffer, 0, kPathBufferSize);
    errno = ENAMETOOLONG;
    platform::set_last_error(platform::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  to_backslashes(buffer);
  return true;
}

// Appends "\" and name to dir when the whole still fits.
bool append_entry(char* dir, size_t length, const std::string& name) {
  if (length + 1 + name.size() >= static_cast<size_t>(kPathBufferSize)) {
    platform::set_last_error(platform::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  dir[length] = '\\';
  std::memcpy(dir + length + 1, name.c_str(), name.size() + 1);
  return true;
}

// Of a file's attributes only read-only stops its deletion; the others go with the file, so only it is reset first.
bool delete_tree_file(const char* path, uint32_t attributes) {
  return (!(attributes & platform::FILE_ATTRIBUTE_READONLY) ||
          platform::set_file_attributes(path, platform::FILE_ATTRIBUTE_NORMAL)) &&
         platform::delete_file(path);
}

}  // namespace

FILE* fopen_cwd(const char* relative_path, const char* mode) {
  char path[kPathBufferSize];
  if (!long_path(relative_path, path)) {
    return nullptr;
  }
  return platform::open_stream(path, mode);
}

bool file_exists_cwd(const char* relative_path) {
  FILE* stream = fopen_cwd(relative_path, "r");
  if (stream == nullptr) {
    return false;
  }
  std::fclose(stream);
  return true;
}

char* get_current_dir() { return platform::get_current_directory(g_cwd_buffer, kPathBufferSize); }

int mkdir_p_cwd(const char* relative_path) {
  char path[kPathBufferSize];
  if (!long_path(relative_path, path)) {
    return -1;
  }
  // Only levels inside the relative part are made, each cut off at its separator; the last at the end of the text.
  for (size_t at = std::strlen(path) - std::strlen(relative_path);; ++at) {
    char separator = path[at];
    if (separator != '\\' && separator != '/' && separator != 0) {
      continue;
    }
    path[at] = 0;
    int result = platform::make_directory(path);
    path[at] = separator;
    if (result != 0 && errno != EEXIST) {
      return -1;
    }
    if (separator == 0) {
      return 0;
    }
  }
}

void to_backslashes(std::string& text) {
  for (char& c : text) {
    if (c == '/') {
      c = '\\';
    }
  }
}

void to_backslashes(char* text) {
  for (; *text; ++text) {
    if (*text == '/') {
      *text = '\\';
    }
  }
}

int remove_cwd(const char* relative_path) {
  char path[kPathBufferSize];
  if (!long_path(relative_path, path)) {
    return -1;
  }
  return platform::remove_file(path);
}

int rename_cwd(const char* old_relative_path, const char* new_relative_path) {
  char old_path[kPathBufferSize];
  char new_path[kPathBufferSize];
  if (!long_path(old_relative_path, old_path) || !long_path(new_relative_path, new_path)) {
    return -1;
  }
  return platform::rename_path(old_path, new_path);
}

int delete_path_cwd(const char* relative_path) {
  char path[kPathBufferSize];
  char scratch[kPathBufferSize];
  std::memset(scratch, 0, sizeof scratch);
  if (!long_path(relative_path, path)) {
    return -1;
  }
  platform::FileStatus status;
  if (platform::stat_path(relative_path, &status) != 0) {
    return -1;
  }
  if (status.directory) {
    return remove_tree(path, scratch);
  }
  return platform::delete_file(path) ? 1 : 0;
}

int remove_tree(char* dir, char* scratch) {
  // A link to a directory (a junction) goes as the link: what it points to may lie outside the installation.
  uint32_t attributes = platform::get_file_attributes(dir);
  if (attributes != platform::INVALID_FILE_ATTRIBUTES && (attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT)) {
    return platform::remove_directory(dir) ? 0 : -1;
  }
  size_t length = std::strlen(dir);
  int written = std::snprintf(scratch, kPathBufferSize, "%s\\*", dir);
  if (written < 0 || written >= kPathBufferSize) {
    platform::set_last_error(platform::ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  to_backslashes(scratch);
  platform::FindData entry;
  platform::Handle search = platform::find_first_file(scratch, &entry);
  if (search == nullptr) {
    return 0;
  }
  do {
    if (entry.name == "." || entry.name == "..") {
      continue;
    }
    int result = 0;
    if (!append_entry(dir, length, entry.name)) {
      result = -1;
    } else if (entry.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) {
      result = remove_tree(dir, scratch);
    } else if (!delete_tree_file(dir, entry.attributes)) {
      result = -1;
    }
    dir[length] = 0;
    if (result != 0) {
      platform::find_close(search);
      return result;
    }
  } while (platform::find_next_file(search, &entry));
  uint32_t error = platform::last_error();
  platform::find_close(search);
  if (error != platform::ERROR_NO_MORE_FILES) {
    return -1;
  }
  if (!platform::set_file_attributes(dir, platform::FILE_ATTRIBUTE_NORMAL)) {
    return -1;
  }
  return platform::remove_directory(dir) ? 0 : -1;
}

bool copy_file_cwd(const char* source_relative_path, const char* destination_relative_path) {
  FILE* source = fopen_cwd(source_relative_path, "rb");
  if (source == nullptr) {
    return false;
  }
  FILE* destination = fopen_cwd(destination_relative_path, "wb");
  if (destination == nullptr) {
    std::fclose(source);
    return false;
  }
  bool copied = platform::copy_stream(source, destination);
  std::fclose(source);
  // Buffered bytes that cannot be written at the close count as a short write.
  if (std::fclose(destination) != 0) {
    copied = false;
  }
  return copied;
}

bool replace_cwd(const char* old_relative_path, const char* new_relative_path) {
  char old_path[kPathBufferSize];
  char new_path[kPathBufferSize];
  return long_path(old_relative_path, old_path) && long_path(new_relative_path, new_path) &&
         platform::move_file_replacing(old_path, new_path);
}

bool flush_file_cwd(const char* relative_path) {
  char path[kPathBufferSize];
  return long_path(relative_path, path) && platform::flush_file(path);
}

bool copy_into_place_cwd(const char* source_relative_path, const char* temporary_relative_path,
                         const char* destination_relative_path, bool flush) {
  char source[kPathBufferSize];
  char temporary[kPathBufferSize];
  char destination[kPathBufferSize];
  return long_path(source_relative_path, source) && long_path(temporary_relative_path, temporary) &&
         long_path(destination_relative_path, destination) &&
         platform::copy_file_replacing(source, temporary, destination, flush);
}

bool move_aside_cwd(const char* relative_path, const char* aside_relative_path, const char* stand_in_relative_path) {
  char path[kPathBufferSize];
  char aside[kPathBufferSize];
  char stand_in[kPathBufferSize];
  return long_path(relative_path, path) && long_path(aside_relative_path, aside) &&
         long_path(stand_in_relative_path, stand_in) && platform::move_aside_with_stand_in(path, aside, stand_in);
}

bool refused_as_running_image_cwd(const char* relative_path) {
  if (platform::last_error() != platform::ERROR_ACCESS_DENIED) {
    return false;
  }
  char path[kPathBufferSize];
  if (!long_path(relative_path, path)) {
    return false;
  }
  uint32_t attributes = platform::get_file_attributes(path);
  return attributes != platform::INVALID_FILE_ATTRIBUTES &&
         !(attributes & (platform::FILE_ATTRIBUTE_READONLY | platform::FILE_ATTRIBUTE_DIRECTORY |
                         platform::FILE_ATTRIBUTE_REPARSE_POINT));
}

bool set_current_dir(const char* path) { return platform::set_current_directory(path); }
