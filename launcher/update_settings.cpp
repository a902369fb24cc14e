#include "launcher/update_settings.h"

#include <cstdio>

#include <rapidjson/document.h>

#include "common/file_ops.h"
#include "common/json.h"
#include "common/log.h"

// Nothing reads the settings before the process entry runs, so a dynamic initialisation is early enough
// (clang with libstdc++ cannot constant-initialize a std::string member).
UpdateSettings g_settings;

namespace {

using ZanthoObject = rapidjson::Value::ConstObject;

// FindMember gives the first occurrence of a key written twice.
void read_string(const ZanthoObject& zantho, const char* key, std::string& setting) {
  auto member = zantho.FindMember(key);
  if (member != zantho.MemberEnd() && member->value.IsString()) {
    setting.assign(member->value.GetString(), member->value.GetStringLength());
  }
}

// IsInt: a JSON integer (no fraction, no exponent) within the signed 32-bit range.
void read_int(const ZanthoObject& zantho, const char* key, int32_t& setting) {
  auto member = zantho.FindMember(key);
  if (member != zantho.MemberEnd() && member->value.IsInt()) {
    setting = member->value.GetInt();
  }
}

}  // namespace

void load_config() {
  FILE* file = fopen_cwd("config.json", "rb");
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
  const auto zantho_member = root.FindMember("zantho");
  if (zantho_member == root.MemberEnd() || !zantho_member->value.IsObject()) {
    return;
  }
  const ZanthoObject zantho = zantho_member->value.GetObject();

  read_string(zantho, "indexserver", g_settings.indexserver);
  log_to("update", spdlog::level::info, "indexserver:{}", g_settings.indexserver);
  read_int(zantho, "indexport", g_settings.indexport);
  log_to("update", spdlog::level::info, "indexport:{}", g_settings.indexport);
  read_int(zantho, "precheck", g_settings.precheck);
  log_to("update", spdlog::level::info, "precheck:{}", g_settings.precheck);
  read_string(zantho, "cdn_domain", g_settings.cdn_domain);
  log_to("update", spdlog::level::info, "cdn_domain:{}", g_settings.cdn_domain);
  read_string(zantho, "server_protocol", g_settings.server_protocol);
  log_to("update", spdlog::level::info, "server_protocol:{}", g_settings.server_protocol);
  read_string(zantho, "cdn_protocol", g_settings.cdn_protocol);
  log_to("update", spdlog::level::info, "cdn_protocol:{}", g_settings.cdn_protocol);
  read_string(zantho, "config_update_json", g_settings.config_update_json);
  log_to("update", spdlog::level::info, "config_update_json:{}", g_settings.config_update_json);
}
