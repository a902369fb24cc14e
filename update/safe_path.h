// The test every name taken from downloaded metadata or archives passes before it reaches the file system, and the
// key under which Windows sees two names as one file.
#pragma once

#include <string>
#include <string_view>

// False for a name that could leave the program directory: empty, absolute ("/" or "\" first), a drive letter
// ("C:"), or a ".." component with either separator. False too for a name Windows' normal paths cannot reach, which
// the long "\\?\" form would create literally: a component ending in a dot or a space, a device name (CON, NUL,
// AUX, COM1, LPT1, ..., with or without an extension), a colon (an NTFS stream), a control character or one of
// < > " | ? *.
bool is_safe_relative_path(std::string_view path);

// The name as Windows compares it: either separator, "." and empty components dropped, ASCII letters without case
// (letters outside ASCII keep theirs: Windows folds those too, by its own table).
// Two listed names with one key are one file there.
std::string windows_name_key(std::string_view path);

// A safe name outside the directories the launcher keeps for itself (packages, logs): an installed file there
// would take the place of a metadata file, a package or the open log.
bool is_installable_path(std::string_view path);
