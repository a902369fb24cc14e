#include "update/installed_list.h"

#include <cstdint>
#include <cstdio>

#include "common/file_ops.h"
#include "common/json.h"

bool read_installed_list(const char* path, rapidjson::Document& list) {
  FILE* file = fopen_cwd(path, "rb");
  if (file == nullptr) {
    return false;
  }
  parse_json_file(file, list);
  fclose(file);
  return true;
}

bool is_installed_entry(const rapidjson::Value& entry) {
  return entry.IsArray() && entry.Size() >= 4 && entry[0].IsString() && entry[1].IsInt64() && entry[3].IsInt64();
}

bool installed_entry_is_directory(const rapidjson::Value& entry) {
  return static_cast<uint32_t>(entry[1].GetInt64()) == 0xFFFFFFFFu;
}
