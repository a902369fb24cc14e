// The UNZIP step: every package zip of the manifest unpacked from packages/ into the staging directory packages/tmp.
// One attempt, one archive, one entry of an archive.
#pragma once

#include <cstdint>

#include <minizip/unzip.h>

// 0 when every listed archive was unpacked; 11 when packages/tmp cannot be made; 12 when an archive fails.
int32_t extract_packages();

// 0 when every entry of the archive was unpacked under destination, 1 otherwise.
int32_t extract_zip(const char* archive_path, const char* destination);

// 0, or a minizip error code; -1 when a directory cannot be made or a write fails; UNZ_INTERNALERROR without a buffer.
int32_t extract_current_entry(unzFile archive, const char* destination);
