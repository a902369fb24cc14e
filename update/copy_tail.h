// What a copy leaves to do once its files are in place: the staging and the copy's own leftovers removed, then the
// service step. A mark in packages/ keeps it pending across a kill, so that the next start finishes it.
#pragma once

#include <cstdint>
#include <string>

// The name a file is written under beside its destination (so the rename that puts it in place stays on one file
// system) before it takes the destination's place.
std::string copy_temporary_name(const char* path);

// Set before the copy moves its first file, cleared once its tail has run.
void mark_copy_tail_pending();
bool copy_tail_pending();
void clear_copy_tail();

// Removes the staging directory, the temporaries the copy may have left beside the listed files, and the moved-aside
// launcher when zantho.exe stands; 0, or 13 when the staging directory stays.
int32_t remove_copy_leftovers(const char* list_path);
