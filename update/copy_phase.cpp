#include "update/copy_phase.h"

#include <cstdio>
#include <string>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "launcher/update_settings.h"
#include "update/installed_list.h"
#include "update/meta_paths.h"
#include "update/pipeline_state.h"
#include "update/safe_path.h"

namespace {

constexpr const char* kStagingDir = "packages/tmp";
constexpr const char* kExecutable = "zantho.exe";
constexpr const char* kOldExecutable = "zantho.old.exe";

// Every entry is checked before the executable moves, so a bad list changes nothing on disk.
bool all_entries_usable(const rapidjson::Value& files) {
  for (const rapidjson::Value& entry : files.GetArray()) {
    if (!is_installed_entry(entry) || !is_safe_relative_path(entry[0].GetString())) {
      return false;
    }
  }
  return true;
}

void restore_executable() {
  remove_cwd(kExecutable);
  rename_cwd(kOldExecutable, kExecutable);
}

}  // namespace

bool copy_installed_files(const char* list_path) {
  rapidjson::Document list;
  if (!read_installed_list(list_path, list) || !list.IsObject()) {
    return false;
  }
  rapidjson::Value::ConstMemberIterator files = list.FindMember("files");
  if (files == list.MemberEnd() || !files->value.IsArray() || !all_entries_usable(files->value)) {
    return false;
  }

  remove_cwd(kOldExecutable);
  rename_cwd(kExecutable, kOldExecutable);
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    const char* path = entry[0].GetString();
    printf("destf : %s\n", path);
    if (installed_entry_is_directory(entry)) {
      mkdir_p_cwd(path);
      continue;
    }
    remove_cwd(path);
    std::string source = fmt::format("{}\\{}", kStagingDir, path);
    if (!copy_file_cwd(source.c_str(), path)) {
      restore_executable();
      return false;
    }
  }

  // A list that does not name the launcher must not leave the installation without one.
  if (g_settings.precheck == 2 || !file_exists_cwd(kExecutable)) {
    restore_executable();
  } else {
    remove_cwd(kOldExecutable);
  }
  return true;
}

int32_t copy_phase() {
  if (g_ui_callbacks != nullptr && g_ui_callbacks->copy_begin != nullptr) {
    g_ui_callbacks->copy_begin(g_ui_window);
  }
  if (!copy_installed_files(installed_json_path())) {
    return 13;
  }
  if (g_ui_callbacks != nullptr && g_ui_callbacks->copy_progress != nullptr) {
    g_ui_callbacks->copy_progress(g_ui_window, 1, 1);
  }
  return delete_path_cwd(kStagingDir) == -1 ? 13 : 0;
}
