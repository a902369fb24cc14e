// Clears the packages directory of zips the manifest does not list, and of listed zips that cannot be resumed.
#pragma once

#include <vector>

#include "update/package_entry.h"

// Searches dir (the program's packages directory) and deletes "packages/<name>" for every "*.zip" entry
// that no record names, or whose record is not ok and is not longer than the file. The result of closing
// the search (0 when none was opened).
int prune_packages(const std::vector<PackageEntry>& list, const char* dir);
