// The process-wide values that steer an update, and their reading from config.json.
#pragma once

#include <cstdint>
#include <string>

struct UpdateSettings {
  int32_t precheck = 1;
  std::string cdn_domain;
  std::string metains;
  std::string metaman;
  std::string client_region = "cn";
  std::string region_header = "X-Region";
  std::string home_region = "cn";
  std::string cdn_protocol = "https";
  std::string server_protocol = "https";
  std::string indexserver = "127.0.0.1:8443";
  int32_t indexport = 443;
  std::string config_update_json = "clients.json";

  bool operator==(const UpdateSettings&) const = default;
};

extern UpdateSettings g_settings;

// Reads config.json of the current directory into g_settings; logs each value read.
void load_config();
