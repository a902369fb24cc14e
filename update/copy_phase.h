// The COPY step: the staged files moved over the installation as the installed-file list names them, with the
// launcher's own executable moved aside to zantho.old.exe for the time of the copy.
#pragma once

#include <cstdint>

// 0, or 13 for any failure.
int32_t copy_phase();

// True when every entry of the list was handled.
bool copy_installed_files(const char* list_path);
