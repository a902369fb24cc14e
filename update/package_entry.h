// The record of one downloadable file (a metadata file or a package zip) and the state of its local copy.
#pragma once

#include <cstdint>
#include <string>

struct PackageEntry {
  std::string name;        // name on the CDN: the fixed metadata name, or the manifest's "file"
  std::string local_path;  // relative to the program directory, "/" separators; empty for a package
  std::string url;
  int32_t size = 0;        // expected length; 0 for the metadata files
  std::string checksum;    // expected MD5, lower-case hex; empty for a package
  bool ok = false;         // the local copy passed its check
};
