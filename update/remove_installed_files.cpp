#include "update/remove_installed_files.h"

#include <string_view>

#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "update/copy_phase.h"
#include "update/installed_list.h"
#include "update/meta_paths.h"
#include "update/safe_path.h"

namespace {

// "." or "./" name the program directory itself, whose deletion would take unlisted files with it.
bool names_program_directory(std::string_view path) {
  return path.find_first_not_of("./\\") == std::string_view::npos;
}

bool may_delete(const rapidjson::Value& entry) {
  if (!is_installed_entry(entry)) {
    return false;
  }
  // Up to the first NUL: the text the file functions see.
  std::string_view path(entry[0].GetString());
  return is_safe_relative_path(path) && !names_program_directory(path);
}

}  // namespace

void remove_installed_files() {
  rapidjson::Document list;
  if (!read_installed_list(installed_json_path(), list) || !list.IsObject()) {
    return;
  }
  rapidjson::Value::ConstMemberIterator files = list.FindMember("files");
  if (files != list.MemberEnd() && files->value.IsArray()) {
    for (const rapidjson::Value& entry : files->value.GetArray()) {
      if (may_delete(entry)) {
        delete_path_cwd(entry[0].GetString());
        // What a copy moved aside while a running program held it.
        if (!installed_entry_is_directory(entry)) {
          delete_path_cwd(running_image_aside_name(entry[0].GetString()).c_str());
        }
      }
    }
  }
  delete_path_cwd("packages");
  delete_path_cwd("zantho.old.exe");
}
