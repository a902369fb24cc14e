#include "update/index_request.h"

#include <cstdio>

#include <rapidjson/document.h>

#include "common/json.h"
#include "download/http_downloader.h"
#include "launcher/update_settings.h"
#include "update/pipeline_state.h"
#include "update/unix_time.h"

namespace {

// The callback has not run: the attempt has no code of its own yet.
constexpr int kNoCode = -1;

bool take_string(const rapidjson::Value& root, const char* key, std::string& target) {
  const auto member = root.FindMember(key);
  if (member == root.MemberEnd() || !member->value.IsString()) {
    return false;
  }
  target.assign(member->value.GetString(), member->value.GetStringLength());
  return true;
}

}  // namespace

int run_setup_index_data() {
  if (g_ui_callbacks != nullptr && g_ui_callbacks->index_begin != nullptr) {
    g_ui_callbacks->index_begin(g_ui_window);
  }
  const int code = fetch_index_json();
  if (code != 0) {
    return code;
  }
  if (g_ui_callbacks != nullptr && g_ui_callbacks->index_end != nullptr) {
    g_ui_callbacks->index_end(g_ui_window);
  }
  return 0;
}

int fetch_index_json() {
  std::string body;
  int code = kNoCode;
  IndexFetchContext context{&body, &code};
  g_downloader->add_memory_task_with_callback(build_index_url(), &body, fetch_index_json_callback, &context);
  const int run = g_downloader->run_downloads();
  if (run == 4) {
    return 21;
  }
  if (code == kNoCode) {
    // A reply of known size that failed or stopped short never reaches the callback; fail so the
    // driver retries, with the callback's own mapping of the run's result.
    return run == 3 ? 14 : 18;
  }
  return code;
}

std::string build_index_url() {
  char time_text[16];
  std::snprintf(time_text, sizeof time_text, "&%d", unix_time_low32());
  return g_settings.server_protocol + "://" + g_settings.indexserver + "/api" + "/" + g_settings.config_update_json +
         "?zantho_client=client" + "&zantho_version=3.0.0.1" + time_text;
}

void fetch_index_json_callback(int32_t result, int32_t http_status, void* user) {
  IndexFetchContext* context = static_cast<IndexFetchContext*>(user);
  std::printf("!!!!!!!!!!!!!!!fetch_index_json---callback++++++++:[%d]\n", result);
  if (result != 0) {
    *context->code = result == 3 ? 14 : 18;
    return;
  }
  switch (http_status) {
    case 200:
      *context->code = parse_index_json(*context->body) ? 0 : 4;
      break;
    case 400:
      *context->code = 28;
      break;
    case 406:
      *context->code = 30;
      break;
    case 415:
      *context->code = 29;
      break;
    case 503:
      *context->code = 27;
      break;
    default:
      *context->code = 26;
      break;
  }
}

bool parse_index_json(std::string text) {
  // Strict JSON: a NUL is not white space after the root.
  if (text.find('\0') != std::string::npos) {
    return false;
  }
  rapidjson::Document document;
  parse_json_text(text.c_str(), document);
  if (document.HasParseError() || !document.IsObject()) {
    return false;
  }
  if (g_settings.cdn_domain.empty() && !take_string(document, "cdndomain", g_settings.cdn_domain)) {
    return false;
  }
  if (!take_string(document, "metains", g_settings.metains)) {
    return false;
  }
  take_string(document, "metaman", g_settings.metaman);
  return true;
}
