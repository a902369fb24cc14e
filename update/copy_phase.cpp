#include "update/copy_phase.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>

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

// Every entry is checked before the executable moves, so a bad list changes nothing on disk. Two files whose names
// Windows holds for one would end with one content, and every later check would repair them again.
bool all_entries_usable(const rapidjson::Value& files) {
  std::unordered_set<std::string> file_names;
  for (const rapidjson::Value& entry : files.GetArray()) {
    if (!is_installed_entry(entry) || !is_installable_path(entry[0].GetString())) {
      return false;
    }
    if (!installed_entry_is_directory(entry) && !file_names.insert(windows_name_key(entry[0].GetString())).second) {
      return false;
    }
  }
  return true;
}

// Beside its destination, so that the rename putting a file in place stays on one file system.
std::string temporary_name(const char* path) { return std::string(path) + ".zantho-tmp"; }

bool is_launcher(const char* path) {
  std::string_view name(path);
  return std::equal(name.begin(), name.end(), std::string_view(kExecutable).begin(),
                    std::string_view(kExecutable).end(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// A destination is the old file or the new one at every moment, never a cut one; the temporary an earlier, killed
// copy left is overwritten. A flush first keeps a power cut from leaving a cut file behind the name.
bool copy_into_place(const char* source, const char* destination, bool flush) {
  return copy_into_place_cwd(source, temporary_name(destination).c_str(), destination, flush);
}

bool names_launcher(const rapidjson::Value& files) {
  return std::any_of(files.Begin(), files.End(), [](const rapidjson::Value& entry) {
    return !installed_entry_is_directory(entry) && std::string_view(entry[0].GetString()) == kExecutable;
  });
}

// From here until the new launcher is in place, a whole launcher (a flushed copy) stands at zantho.exe, so a kill or
// a power cut during the copy leaves one the user can start. That copy is the staged new launcher when it is to stay
// (its entry then has nothing left to do: true), else the running one. It is flushed before the copy fills the cache,
// which a later flush would wait for. Without it the launcher is not moved: the list's zantho.exe then fails as a
// file in use would.
bool move_executable_aside(const rapidjson::Value& files) {
  bool staged = g_settings.precheck != 2 && names_launcher(files);
  std::string source = staged ? fmt::format("{}\\{}", kStagingDir, kExecutable) : std::string(kExecutable);
  std::string stand_in = temporary_name(kExecutable);
  if (copy_file_cwd(source.c_str(), stand_in.c_str()) && flush_file_cwd(stand_in.c_str()) &&
      move_aside_cwd(kExecutable, kOldExecutable, stand_in.c_str())) {
    return staged;
  }
  remove_cwd(stand_in.c_str());
  return false;
}

// One replacing move: zantho.exe never stands empty in between.
void restore_executable() { replace_cwd(kOldExecutable, kExecutable); }

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
  bool launcher_in_place = move_executable_aside(files->value);
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    const char* path = entry[0].GetString();
    printf("destf : %s\n", path);
    if (installed_entry_is_directory(entry)) {
      mkdir_p_cwd(path);
      continue;
    }
    if (launcher_in_place && std::string_view(path) == kExecutable) {
      launcher_in_place = false;
      continue;
    }
    // The destination is not removed first: a staged file that is missing must not cost the installed one.
    std::string source = fmt::format("{}\\{}", kStagingDir, path);
    if (!copy_into_place(source.c_str(), path, is_launcher(path))) {
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
