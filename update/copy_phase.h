// The COPY step: the staged files moved over the installation as the installed-file list names them, with the
// launcher's own executable moved aside to zantho.old.exe for the time of the copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 0, or 13 for any failure.
int32_t copy_phase();

// True when every entry of the list was handled.
bool copy_installed_files(const char* list_path);

// Where the copy moves a file that a running program holds as its image (Windows cannot replace it but lets its name
// move); a later copy of that path, and the removal, delete it.
std::string running_image_aside_name(std::string_view path);
