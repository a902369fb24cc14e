#include "update/installed_check.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "common/crc32.h"
#include "common/file_ops.h"
#include "common/log.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "update/installed_list.h"
#include "update/safe_path.h"

namespace {

// [path, size, any, crc] with a path that stays inside the program directory and out of the launcher's own.
bool entry_in_format(const rapidjson::Value& entry) {
  return is_installed_entry(entry) &&
         is_installable_path(std::string_view(entry[0].GetString(), entry[0].GetStringLength()));
}

}  // namespace

int check_installed_files(const char* list_path) {
  rapidjson::Document document;
  if (!read_installed_list(list_path, document)) {
    return 11;
  }
  if (!document.IsObject()) {
    return 6;
  }
  // Read through a const view: C++20 finds a mutable member iterator's comparison ambiguous.
  const rapidjson::Value& root = document;
  const auto files = root.FindMember("files");
  if (files == root.MemberEnd()) {
    return 0;
  }
  if (!files->value.IsArray()) {
    return 6;
  }
  // A list outside its format is refused whole, before any file is looked at.
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    if (!entry_in_format(entry)) {
      return 6;
    }
  }
  const char* cwd = get_current_dir();
  if (cwd == nullptr) {
    return 11;
  }
  const std::string current_dir = cwd;
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    if (installed_entry_is_directory(entry)) {
      continue;
    }
    const int64_t listed_size = entry[1].GetInt64();
    const char* path = entry[0].GetString();
    std::string long_path = fmt::format("\\\\?\\{}\\{}", current_dir, path);
    to_backslashes(long_path);
    platform::FindData found;
    platform::Handle search = platform::find_first_file(long_path.c_str(), &found);
    if (search == nullptr) {
      log_to("update", spdlog::level::err, "open file failed:{}", long_path);
      return 11;
    }
    platform::find_close(search);
    if (found.size != static_cast<uint64_t>(listed_size)) {
      log_to("update", spdlog::level::warn, "check file failed:{}", path);
      return 9;
    }
    if (crc32_file(path) != static_cast<uint32_t>(entry[3].GetInt64())) {
      log_to("update", spdlog::level::warn, "check file failed:{}", path);
      return 9;
    }
  }
  return 0;
}
