// META_JSON_INTEGRITY: keeps the installed-file list and the package manifest current by their
// self-describing checksums, downloading either when it is not.
#pragma once

#include <vector>

#include "update/package_entry.h"

// The installed-file list's entry, then the manifest's, both already verified.
std::vector<PackageEntry> collect_meta_entries();
// Sets entry.ok when the local file carries entry.checksum and hashes to it; never clears it.
void verify_meta_json(PackageEntry& entry);
// 0 both current; 14 cannot connect; 19 any other download failure, or a file still not current.
int meta_json_integrity();
