#include "update/copy_phase.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "common/crc32.h"
#include "common/file_ops.h"
#include "launcher/update_settings.h"
#include "platform/files.h"
#include "update/copy_tail.h"
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

std::string staged_name(const char* path) { return fmt::format("{}\\{}", kStagingDir, path); }

// "Zantho.exe" is the running launcher's file too: Windows compares names without case.
bool is_launcher(const char* path) { return windows_name_key(path) == kExecutable; }

// The list's file entry for the launcher (one at most: the list names no file twice), or null.
const rapidjson::Value* launcher_entry(const rapidjson::Value& files) {
  for (const rapidjson::Value& entry : files.GetArray()) {
    if (!installed_entry_is_directory(entry) && is_launcher(entry[0].GetString())) {
      return &entry;
    }
  }
  return nullptr;
}

bool matches_entry(const char* path, const rapidjson::Value& entry) {
  platform::FileStatus status;
  return platform::stat_path(path, &status) == 0 && !status.directory &&
         status.size == static_cast<uint64_t>(entry[1].GetInt64()) &&
         crc32_file(path) == static_cast<uint32_t>(entry[3].GetInt64());
}

// A staged launcher that is there but is not the listed one (a bad package or extraction, a publisher's mistake):
// the copy fails before anything moves. A missing one fails at its entry.
bool staged_launcher_differs(const rapidjson::Value& entry) {
  std::string staged = staged_name(entry[0].GetString());
  platform::FileStatus status;
  return platform::stat_path(staged.c_str(), &status) == 0 && !matches_entry(staged.c_str(), entry);
}

// A flushed copy of the staged launcher, checked again as it is the file put in place; on failure it is gone.
bool copy_listed_launcher(const rapidjson::Value& entry, const char* copy) {
  std::string staged = staged_name(entry[0].GetString());
  if (copy_file_cwd(staged.c_str(), copy) && flush_file_cwd(copy) && matches_entry(copy, entry)) {
    return true;
  }
  remove_cwd(copy);
  return false;
}

// Windows refuses to replace the image of a running program (the client's service program, a DLL it loaded) but
// lets its name move: the held file goes aside, where a later copy removes it once nothing holds it, and the new
// file takes its name. A kill between the two moves leaves the name empty, which the check repairs.
bool replace_running_image(const char* source, const char* destination) {
  std::string temporary = copy_temporary_name(destination);
  std::string aside = running_image_aside_name(destination);
  remove_cwd(aside.c_str());
  if (copy_file_cwd(source, temporary.c_str()) && rename_cwd(destination, aside.c_str()) == 0) {
    if (rename_cwd(temporary.c_str(), destination) == 0) {
      return true;
    }
    rename_cwd(aside.c_str(), destination);
  }
  remove_cwd(temporary.c_str());
  return false;
}

// A destination is the old file or the new one at every moment, never a cut one; the temporary an earlier, killed
// copy left is overwritten.
bool copy_into_place(const char* source, const char* destination) {
  if (copy_into_place_cwd(source, copy_temporary_name(destination).c_str(), destination, false)) {
    remove_cwd(running_image_aside_name(destination).c_str());
    return true;
  }
  return refused_as_running_image_cwd(destination) && replace_running_image(source, destination);
}

// From here until the new launcher is in place, a whole launcher (a flushed copy) stands at zantho.exe, so a kill or
// a power cut during the copy leaves one the user can start. That copy is the list's launcher when one is given (its
// entry then has nothing left to do: true), else the running one. It is flushed before the copy fills the cache,
// which a later flush would wait for. Without it the launcher is not moved: the list's zantho.exe then fails as a
// file in use would.
bool move_executable_aside(const rapidjson::Value* launcher) {
  std::string stand_in = copy_temporary_name(kExecutable);
  bool copied = launcher != nullptr ? copy_listed_launcher(*launcher, stand_in.c_str())
                                    : copy_file_cwd(kExecutable, stand_in.c_str()) && flush_file_cwd(stand_in.c_str());
  if (copied && move_aside_cwd(kExecutable, kOldExecutable, stand_in.c_str())) {
    return launcher != nullptr;
  }
  remove_cwd(stand_in.c_str());
  return false;
}

// Where the move aside did not put it in place already.
bool put_launcher_in_place(const rapidjson::Value& entry) {
  std::string copy = copy_temporary_name(kExecutable);
  if (!copy_listed_launcher(entry, copy.c_str())) {
    return false;
  }
  if (replace_cwd(copy.c_str(), kExecutable)) {
    return true;
  }
  remove_cwd(copy.c_str());
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

  // With precheck 2 the running launcher stays: it is neither moved aside nor replaced.
  bool keep_launcher = g_settings.precheck == 2;
  const rapidjson::Value* launcher = keep_launcher ? nullptr : launcher_entry(files->value);
  if (launcher != nullptr && staged_launcher_differs(*launcher)) {
    return false;
  }

  remove_cwd(kOldExecutable);
  bool launcher_in_place = !keep_launcher && move_executable_aside(launcher);
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    const char* path = entry[0].GetString();
    printf("destf : %s\n", path);
    if (installed_entry_is_directory(entry)) {
      mkdir_p_cwd(path);
      continue;
    }
    bool copied = true;
    if (!is_launcher(path)) {
      // The destination is not removed first: a staged file that is missing must not cost the installed one.
      copied = copy_into_place(staged_name(path).c_str(), path);
    } else if (!keep_launcher && !launcher_in_place) {
      copied = put_launcher_in_place(entry);
    }
    if (!copied) {
      restore_executable();
      return false;
    }
  }

  // A list that does not name the launcher must not leave the installation without one.
  if (!file_exists_cwd(kExecutable)) {
    restore_executable();
  } else {
    remove_cwd(kOldExecutable);
  }
  return true;
}

std::string running_image_aside_name(std::string_view path) { return std::string(path) + ".zantho-old"; }

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
