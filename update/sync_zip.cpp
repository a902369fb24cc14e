#include "update/sync_zip.h"

#include <string>
#include <vector>

#include "common/file_ops.h"
#include "common/log.h"
#include "download/http_downloader.h"
#include "update/meta_paths.h"
#include "update/package_list.h"
#include "update/pipeline_state.h"
#include "update/prune_packages.h"

uint32_t g_sync_stall_seconds = 60;

namespace {

bool all_ok(const std::vector<PackageEntry>& list) {
  for (const PackageEntry& entry : list) {
    if (!entry.ok) {
      return false;
    }
  }
  return true;
}

}  // namespace

int sync_zip_packages() {
  if (g_ui_callbacks != nullptr && g_ui_callbacks->sync_begin != nullptr) {
    g_ui_callbacks->sync_begin(g_ui_window);
  }
  std::vector<PackageEntry> list;
  const int loaded = load_package_list(list, manifest_json_path());
  const char* cwd = get_current_dir();
  if (cwd == nullptr) {
    return 11;
  }
  prune_packages(list, (std::string(cwd) + "/packages").c_str());
  if (loaded != 0) {
    return loaded;
  }
  std::vector<PackageEntry> missing;
  for (const PackageEntry& entry : list) {
    if (!entry.ok) {
      missing.push_back(entry);
    }
  }
  if (missing.empty()) {
    if (g_ui_callbacks != nullptr && g_ui_callbacks->sync_progress != nullptr) {
      g_ui_callbacks->sync_progress(g_ui_window, 1, 1);
    }
    log_to("update", spdlog::level::info, "skip SYNC_ZIP");
    return 0;
  }
  for (const PackageEntry& entry : missing) {
    // The manifest keeps a size's low 32 bits; 0 is no size at all.
    SizeRule rule;
    if (entry.size != 0) {
      rule.listed_low32 = static_cast<uint32_t>(entry.size);
    }
    g_downloader->add_file_task(entry.url, "packages/" + entry.name, rule);
  }
  g_downloader->set_stall_timeout(g_sync_stall_seconds);
  g_downloader->set_progress_callback(relay_progress, g_ui_window);
  switch (g_downloader->run_downloads()) {
    case 0: {
      std::vector<PackageEntry> fresh;
      load_package_list(fresh, manifest_json_path());
      return all_ok(fresh) ? 0 : 15;
    }
    case 3:
      return 15;
    case 4:
      return 21;
    case 5:
      return 22;
    default:
      return 20;
  }
}

int relay_progress(int64_t total, int64_t done, void* user) {
  if (g_ui_callbacks == nullptr || g_ui_callbacks->sync_progress == nullptr) {
    return 0;
  }
  return g_ui_callbacks->sync_progress(static_cast<platform::Hwnd>(user), static_cast<int32_t>(done),
                                       static_cast<int32_t>(total));
}
