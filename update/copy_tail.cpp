#include "update/copy_tail.h"

#include <cstdio>

#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "platform/files.h"
#include "update/installed_list.h"
#include "update/safe_path.h"

namespace {

constexpr const char* kStagingDir = "packages/tmp";
constexpr const char* kPendingMark = "packages/copy.pending";

bool exists(const char* relative_path) {
  platform::FileStatus status;
  return platform::stat_path(relative_path, &status) == 0;
}

// A list that cannot be read or names something unsafe is left alone: the next repair deals with it.
void remove_temporaries(const char* list_path) {
  rapidjson::Document list;
  if (!read_installed_list(list_path, list) || !list.IsObject()) {
    return;
  }
  rapidjson::Value::ConstMemberIterator files = list.FindMember("files");
  if (files == list.MemberEnd() || !files->value.IsArray()) {
    return;
  }
  for (const rapidjson::Value& entry : files->value.GetArray()) {
    if (is_installed_entry(entry) && !installed_entry_is_directory(entry) &&
        is_installable_path(entry[0].GetString())) {
      remove_cwd(copy_temporary_name(entry[0].GetString()).c_str());
    }
  }
}

}  // namespace

std::string copy_temporary_name(const char* path) { return std::string(path) + ".zantho-tmp"; }

void mark_copy_tail_pending() {
  FILE* mark = fopen_cwd(kPendingMark, "wb");
  if (mark != nullptr) {
    std::fclose(mark);
  }
}

bool copy_tail_pending() { return exists(kPendingMark); }

void clear_copy_tail() { remove_cwd(kPendingMark); }

int32_t remove_copy_leftovers(const char* list_path) {
  remove_temporaries(list_path);
  // Without zantho.exe the old name holds the only launcher; the running one cannot be removed and stays.
  if (exists("zantho.exe")) {
    remove_cwd("zantho.old.exe");
  }
  if (exists(kStagingDir) && delete_path_cwd(kStagingDir) == -1) {
    return 13;
  }
  return 0;
}
