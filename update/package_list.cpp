#include "update/package_list.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "common/json.h"
#include "common/md5.h"
#include "launcher/update_settings.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "update/safe_path.h"
#include "update/unix_time.h"

int32_t g_package_count = 0;

namespace {

constexpr size_t kDotWithin = 512;

// An object with string "file" and "checksum" and, where present, an integer "size"; the file name has a
// "." among its first 512 bytes and stays inside the program directory.
bool element_in_format(const rapidjson::Value& element) {
  if (!element.IsObject()) {
    return false;
  }
  const auto file = element.FindMember("file");
  const auto checksum = element.FindMember("checksum");
  const auto size = element.FindMember("size");
  if (file == element.MemberEnd() || !file->value.IsString() || checksum == element.MemberEnd() ||
      !checksum->value.IsString()) {
    return false;
  }
  if (size != element.MemberEnd() && !size->value.IsInt64() && !size->value.IsUint64()) {
    return false;
  }
  const std::string_view name(file->value.GetString(), file->value.GetStringLength());
  const size_t dot = name.find('.');
  return dot != std::string_view::npos && dot < kDotWithin && is_safe_relative_path(name);
}

struct FileDigest {
  std::string path;
  bool opened = false;
  unsigned char digest[16] = {};
};

struct HashQueue {
  std::vector<FileDigest>* files;
  std::atomic<size_t> next{0};
};

uint32_t hash_from_queue(void* argument) {
  auto* queue = static_cast<HashQueue*>(argument);
  for (size_t i; (i = queue->next.fetch_add(1)) < queue->files->size();) {
    FileDigest& file = (*queue->files)[i];
    file.opened = md5_file(file.path.c_str(), file.digest);
  }
  return 0;
}

// Every reading hashes every zip in full, right after a download and again before the extraction: the zips
// are independent, so they are hashed side by side. A helper that cannot be started leaves its share to the
// others. Four readers at most: enough to outrun a disk, few enough not to make it seek.
void hash_files(std::vector<FileDigest>& files) {
  constexpr size_t kMostHelpers = 3;
  HashQueue queue{&files};
  const size_t wanted = std::min({files.size() > 0 ? files.size() - 1 : 0,
                                  static_cast<size_t>(std::max(1u, std::thread::hardware_concurrency())) - 1,
                                  kMostHelpers});
  std::vector<platform::Handle> helpers;
  for (size_t i = 0; i < wanted; ++i) {
    if (platform::Handle helper = platform::create_thread(hash_from_queue, &queue)) {
      helpers.push_back(helper);
    }
  }
  hash_from_queue(&queue);
  for (platform::Handle helper : helpers) {
    platform::wait_for_single_object(helper, platform::INFINITE);
    platform::close_handle(helper);
  }
}

int32_t size_low32(const rapidjson::Value& element) {
  const auto size = element.FindMember("size");
  if (size == element.MemberEnd()) {
    return 0;
  }
  const uint64_t bits = size->value.IsUint64() ? size->value.GetUint64() : static_cast<uint64_t>(size->value.GetInt64());
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

int load_package_list(std::vector<PackageEntry>& list, const char* manifest_path) {
  FILE* file = fopen_cwd(manifest_path, "rb");
  if (file == nullptr) {
    return 11;
  }
  rapidjson::Document document;
  parse_json_file(file, document);
  std::fclose(file);
  if (!document.IsObject()) {
    return 7;
  }
  // Read through a const view: C++20 finds a mutable member iterator's comparison ambiguous.
  const rapidjson::Value& root = document;
  const auto packages = root.FindMember("packages");
  const bool listed = packages != root.MemberEnd();
  if (listed && !packages->value.IsArray()) {
    g_package_count = 0;
    return 7;
  }
  g_package_count = listed ? static_cast<int32_t>(packages->value.Size()) : 0;
  // A manifest outside its format gives no records at all, never a part of them.
  for (int32_t i = 0; i < g_package_count; ++i) {
    if (!element_in_format(packages->value[i])) {
      g_package_count = 0;
      return 7;
    }
  }
  char query[16];
  std::snprintf(query, sizeof query, "?%d", unix_time_low32());
  std::vector<FileDigest> digests(static_cast<size_t>(g_package_count));
  for (int32_t i = 0; i < g_package_count; ++i) {
    const rapidjson::Value& element = packages->value[i];
    digests[static_cast<size_t>(i)].path = "packages/" + std::string(element["file"].GetString(),
                                                                      element["file"].GetStringLength());
    to_backslashes(digests[static_cast<size_t>(i)].path);
  }
  hash_files(digests);
  for (int32_t i = 0; i < g_package_count; ++i) {
    const rapidjson::Value& element = packages->value[i];
    const rapidjson::Value& checksum = element["checksum"];
    PackageEntry entry;
    entry.name.assign(element["file"].GetString(), element["file"].GetStringLength());
    entry.url = g_settings.cdn_protocol + "://" + g_settings.cdn_domain + "/" + entry.name + query;
    entry.size = size_low32(element);

    const FileDigest& hashed = digests[static_cast<size_t>(i)];
    md5_print(hashed.path.c_str(), hashed.opened, hashed.digest);
    char hex[33];
    md5_to_hex(hashed.digest, hex);
    // The listed checksum may be a prefix of the digest; an empty one always matches.
    const size_t length = checksum.GetStringLength();
    entry.ok = length <= 32 && std::memcmp(hex, checksum.GetString(), length) == 0;
    list.push_back(std::move(entry));
  }
  return 0;
}
