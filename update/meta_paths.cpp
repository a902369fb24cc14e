#include "update/meta_paths.h"

#include <cstdio>

#include "common/file_ops.h"

namespace {

char g_installed_path[kPathBufferSize];
char g_manifest_path[kPathBufferSize];

const char* build_once(char* buffer, const char* file_name) {
  if (buffer[0] == '\0') {
    std::snprintf(buffer, kPathBufferSize, "%s/%s", "packages", file_name);
  }
  return buffer;
}

}  // namespace

const char* installed_json_path() { return build_once(g_installed_path, "quembra_client_win32_installed.json"); }

const char* manifest_json_path() { return build_once(g_manifest_path, "quembra_client_win32_manifest.json"); }
