// File operations on paths relative to the current directory (the program directory),
// handed to the system in the long form "\\?\<cwd>\<relative path>".
#pragma once

#include <cstdio>
#include <string>

// Size of every path buffer, terminator included.
inline constexpr int kPathBufferSize = 32767;

FILE* fopen_cwd(const char* relative_path, const char* mode);
bool file_exists_cwd(const char* relative_path);
// The current directory in a buffer of this thread's; null when it cannot be read.
char* get_current_dir();
int mkdir_p_cwd(const char* relative_path);
void to_backslashes(std::string& text);
void to_backslashes(char* text);
int remove_cwd(const char* relative_path);
int rename_cwd(const char* old_relative_path, const char* new_relative_path);
// For a file: nonzero when deleted, 0 when not; for a directory: 0 removed, -1 not; -1 when absent.
int delete_path_cwd(const char* relative_path);
int remove_tree(char* dir, char* scratch);
bool copy_file_cwd(const char* source_relative_path, const char* destination_relative_path);
bool set_current_dir(const char* path);

// For putting a file in place whole: a move that replaces what has the new name, a flush of a file's data to the
// disk, and the move of a file aside with a stand-in put at its name in the same step (so the name never stands
// empty). True when done.
bool replace_cwd(const char* old_relative_path, const char* new_relative_path);
bool flush_file_cwd(const char* relative_path);
// Copies source to temporary, flushed when asked, and replaces destination with it in one move; on failure the
// temporary is gone.
bool copy_into_place_cwd(const char* source_relative_path, const char* temporary_relative_path,
                         const char* destination_relative_path, bool flush);
bool move_aside_cwd(const char* relative_path, const char* aside_relative_path, const char* stand_in_relative_path);
// After a replacing move onto the path failed: true when the refusal is the one Windows gives the image of a running
// program (access denied on a plain file, neither read-only nor a directory), whose name may still move.
bool refused_as_running_image_cwd(const char* relative_path);
