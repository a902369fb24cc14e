// The installed-file list as its readers take it: the parsed document and the form of one entry of "files".
#pragma once

#include <rapidjson/document.h>

// Parses the list at path (relative to the program directory); false when it cannot be opened.
// A text that does not parse leaves a root that is not an object.
bool read_installed_list(const char* path, rapidjson::Document& list);

// An array of at least four elements: a string path, an integer size, anything, an integer CRC-32.
bool is_installed_entry(const rapidjson::Value& entry);

// A size whose low 32 bits are all ones denotes a directory; entry must have the form above.
bool installed_entry_is_directory(const rapidjson::Value& entry);
