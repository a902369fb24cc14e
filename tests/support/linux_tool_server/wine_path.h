// Windows paths of programs under Wine as Linux paths: a drive is the directory its link in the prefix's
// dosdevices/ points at (Z: is usually /).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// "C:\dir\file" or "\\?\C:\dir\file" (either separator); nothing for a path without a drive or a drive the prefix
// does not have.
std::optional<std::string> wine_unix_path(const std::string& windows_path, const std::filesystem::path& prefix);

// WINEPREFIX, else Wine's default ~/.wine.
std::filesystem::path wine_prefix();
