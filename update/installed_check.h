// CHECK_INSTALLED_FILES: every file of the installed-file list present with its listed size and CRC-32.
#pragma once

// 0 all match (or nothing listed); 6 the list is not JSON, not an object, or outside its format
// (an entry that is not [path, size, any, crc], or a path leaving the program directory);
// 9 a size or CRC-32 differs; 11 the list cannot be opened or a listed file is not found.
int check_installed_files(const char* list_path);
