// The file functions the zip library reads an archive through.
#pragma once

#include <minizip/ioapi.h>

// The library's own 64-bit stream functions, with the archive opened by the platform's open_stream: the library's
// narrow fopen64 reads a Windows path in the ANSI code page, the platform's takes the path as UTF-8 on every system.
void fill_platform_file_functions(zlib_filefunc64_def* functions);
