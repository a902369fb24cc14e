// The test every name taken from downloaded metadata or archives passes before it reaches the file system.
#pragma once

#include <string_view>

// False for a name that could leave the program directory: empty, absolute ("/" or "\" first),
// a drive letter ("C:"), or a ".." component with either separator.
bool is_safe_relative_path(std::string_view path);
