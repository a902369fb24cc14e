// The current directory (the program directory after start-up) as the wide paths of the shell and the loader.
#pragma once

#include <string>

// Empty when it cannot be read.
std::u16string current_directory_wide();
