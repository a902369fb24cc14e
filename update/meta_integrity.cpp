#include "update/meta_integrity.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "common/json.h"
#include "common/md5.h"
#include "download/http_downloader.h"
#include "launcher/update_settings.h"
#include "update/meta_paths.h"
#include "update/pipeline_state.h"
#include "update/unix_time.h"

namespace {

// A metadata file is parsed whole in memory; none comes near this, and a longer one is refused before it is fetched.
constexpr int64_t kMetadataFileLimit = int64_t{256} << 20;

PackageEntry meta_entry(const char* name, const char* local_path, const std::string& checksum,
                        const std::string& time_suffix) {
  PackageEntry entry;
  entry.name = name;
  entry.local_path = local_path;
  entry.url = g_settings.cdn_protocol + "://" + g_settings.cdn_domain + "/" + name + "." + checksum + time_suffix;
  entry.size = 0;
  entry.checksum = checksum;
  entry.ok = false;
  return entry;
}

}  // namespace

std::vector<PackageEntry> collect_meta_entries() {
  char time_suffix[16];
  std::snprintf(time_suffix, sizeof time_suffix, "?%d", unix_time_low32());
  std::vector<PackageEntry> entries;
  entries.push_back(meta_entry("quembra_client_win32_installed.json", installed_json_path(), g_settings.metains,
                               time_suffix));
  entries.push_back(meta_entry("quembra_client_win32_manifest.json", manifest_json_path(), g_settings.metaman,
                               time_suffix));
  for (PackageEntry& entry : entries) {
    verify_meta_json(entry);
  }
  return entries;
}

void verify_meta_json(PackageEntry& entry) {
  FILE* file = fopen_cwd(entry.local_path.c_str(), "rb");
  if (file == nullptr) {
    return;
  }
  rapidjson::Document document;
  parse_json_file(file, document);
  std::fclose(file);
  if (document.HasParseError() || !document.IsObject()) {
    return;
  }
  // Read through a const view: C++20 finds a mutable member iterator's comparison ambiguous.
  const rapidjson::Value& root = document;
  const auto member = root.FindMember("checksum");
  if (member == root.MemberEnd() || !member->value.IsString()) {
    return;
  }
  if (member->value.GetStringLength() != entry.checksum.size() ||
      std::memcmp(member->value.GetString(), entry.checksum.data(), entry.checksum.size()) != 0) {
    return;
  }
  document.RemoveMember("checksum");
  std::string text;
  if (!write_compact_json(document, text)) {
    return;
  }
  unsigned char digest[16];
  md5_string(text.c_str(), digest);
  char hex[33];
  md5_to_hex(digest, hex);
  // Exactly the 32 computed digits: a shorter expected value never matches.
  if (std::strncmp(hex, entry.checksum.c_str(), 32) == 0) {
    entry.ok = true;
  }
}

int meta_json_integrity() {
  if (g_ui_callbacks != nullptr && g_ui_callbacks->meta_begin != nullptr) {
    g_ui_callbacks->meta_begin(g_ui_window);
  }
  std::vector<PackageEntry> entries = collect_meta_entries();
  int32_t stale = 0;
  for (const PackageEntry& entry : entries) {
    stale += entry.ok ? 0 : 1;
  }
  if (stale == 0) {
    if (g_ui_callbacks != nullptr && g_ui_callbacks->meta_progress != nullptr) {
      g_ui_callbacks->meta_progress(g_ui_window, 1, 1);
    }
    return 0;
  }
  for (const PackageEntry& entry : entries) {
    if (!entry.ok) {
      g_downloader->add_file_task(entry.url, entry.local_path, SizeRule{kMetadataFileLimit});
    }
  }
  const int run = g_downloader->run_downloads();
  if (run != 0) {
    return run == 3 ? 14 : 19;
  }
  if (g_ui_callbacks != nullptr && g_ui_callbacks->meta_progress != nullptr) {
    g_ui_callbacks->meta_progress(g_ui_window, stale, stale);
  }
  for (const PackageEntry& entry : collect_meta_entries()) {
    if (!entry.ok) {
      return 19;
    }
  }
  return 0;
}
