// SETUP_INDEX_DATA: asks the index API which metadata is current and takes its reply into the settings.
#pragma once

#include <cstdint>
#include <string>

// The user value of one attempt's completion callback; lives on the stack of fetch_index_json.
struct IndexFetchContext {
  std::string* body;
  int* code;
};

// index_begin, one fetch, index_end on success. 0, or 4, 14, 18, 21, 26..30.
int run_setup_index_data();
int fetch_index_json();
// <server_protocol>://<indexserver>/api/<config_update_json>?zantho_client=client&zantho_version=3.0.0.1&<time>
std::string build_index_url();
void fetch_index_json_callback(int32_t result, int32_t http_status, void* user);
// True when cdn_domain (while empty), metains and metaman (when given) were taken from the reply.
bool parse_index_json(std::string text);
