// The full path of the program's own executable.
#pragma once

#include <cstdint>
#include <string>

// The buffer needs room for 778 bytes (259 UTF-16 units in UTF-8 and the terminator).
int get_module_path_utf8(char* output);
int get_exe_path_utf8(char* output);
// The whole path however long, where the forms above cut it to 259 characters; empty when it cannot be read.
std::string get_module_path_whole();
// The buffer needs room for 1,024 UTF-16 characters.
int get_module_path_wide(char16_t* output, int32_t* length);
