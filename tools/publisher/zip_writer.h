// Writing a package zip from files of the installation image.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Writes zip with one deflated entry per name, read from image / name, stored under the name as given.
// Entries carry a fixed time stamp so that the same input gives the same bytes. False on any failure.
bool write_zip(const std::filesystem::path& zip, const std::filesystem::path& image,
               const std::vector<std::string>& names);
