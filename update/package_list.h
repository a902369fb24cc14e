// The package manifest read into package records, each checked against the MD5 of its local zip.
#pragma once

#include <cstdint>
#include <vector>

#include "update/package_entry.h"

// Elements of "packages" in the manifest last read.
extern int32_t g_package_count;

// Appends one record per listed package to list. 0; 11 when the manifest cannot be opened;
// 7 when it is not JSON, its root is not an object, or it is outside its format (then nothing is appended).
int load_package_list(std::vector<PackageEntry>& list, const char* manifest_path);
