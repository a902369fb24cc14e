#include "update/zip_file_functions.h"

#include "platform/files.h"

namespace {

// The library's own choice of mode for each kind of open.
voidpf ZCALLBACK open_through_platform(voidpf, const void* filename, int mode) {
  const char* stream_mode = nullptr;
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    stream_mode = "rb";
  } else if (mode & ZLIB_FILEFUNC_MODE_EXISTING) {
    stream_mode = "r+b";
  } else if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
    stream_mode = "wb";
  }
  if (filename == nullptr || stream_mode == nullptr) {
    return nullptr;
  }
  return platform::open_stream(static_cast<const char*>(filename), stream_mode);
}

}  // namespace

void fill_platform_file_functions(zlib_filefunc64_def* functions) {
  fill_fopen64_filefunc(functions);
  functions->zopen64_file = open_through_platform;
}
