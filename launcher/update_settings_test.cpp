#include "launcher/update_settings.h"

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "tests/support/deep_json.h"
#include "tests/support/scratch_dir.h"

namespace {

std::string describe(const UpdateSettings& s) {
  std::ostringstream out;
  out << "precheck=" << s.precheck << " cdn_domain=" << s.cdn_domain << " metains=" << s.metains
      << " metaman=" << s.metaman << " client_region=" << s.client_region << " region_header=" << s.region_header
      << " home_region=" << s.home_region << " cdn_protocol=" << s.cdn_protocol
      << " server_protocol=" << s.server_protocol << " indexserver=" << s.indexserver
      << " indexport=" << s.indexport << " config_update_json=" << s.config_update_json;
  return out.str();
}

// The messages of the log's lines after its first, without the stamp, logger and level.
std::vector<std::string> logged_messages(const std::string& text) {
  const std::string prefix_end = "] [info] ";
  std::vector<std::string> messages;
  std::istringstream lines(text);
  std::string first_line;  // "ver ... begin log"
  std::getline(lines, first_line);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << line;
    const size_t at = line.find(prefix_end);
    messages.push_back(at == std::string::npos ? line : line.substr(at + prefix_end.size(), line.size() - at - prefix_end.size() - 1));
  }
  return messages;
}

const std::vector<std::string> kDefaultLines = {
    "indexserver:127.0.0.1:8443", "indexport:443",        "precheck:1",
    "cdn_domain:",                "server_protocol:https", "cdn_protocol:https",
    "config_update_json:clients.json",
};

struct ConfigCase {
  const char* name;
  std::optional<std::string> config;  // nullopt: no config.json
  std::function<void(UpdateSettings&)> expect_changed;
  std::vector<std::string> lines;
};

// Loads a config.json into fresh settings with a fresh log; gives the settings and the logged lines.
std::pair<UpdateSettings, std::vector<std::string>> load(const std::optional<std::string>& config) {
  ScratchDir dir;
  dir.enter();
  if (config) {
    dir.write("config.json", *config);
  }
  g_settings = UpdateSettings{};
  g_log_ready = 0;
  init_logger();
  load_config();
  spdlog::drop("update");
  return {g_settings, logged_messages(dir.read("logs/update"))};
}

const auto kNoChange = [](UpdateSettings&) {};

TEST(LoadConfigTest, AcceptsOnlyAZanthoObjectAndLogsItsSevenValuesInOrder) {
  const std::string big_host(3000, 'h');  // spans several reads of the stream's buffer
  const std::string deep = nested_arrays(kDeepArrays);
  const std::vector<ConfigCase> cases = {
      {"missing file", std::nullopt, kNoChange, {}},
      {"empty file", "", kNoChange, {}},
      {"empty object", "{}", kNoChange, {}},
      {"no zantho member", R"({"other":{"precheck":0}})", kNoChange, {}},
      {"zantho not an object", R"({"zantho":[{"precheck":0}]})", kNoChange, {}},
      {"zantho as a string", R"({"zantho":"{\"precheck\":0}"})", kNoChange, {}},
      {"array root", R"([{"zantho":{"precheck":0}}])", kNoChange, {}},
      {"number root", "1", kNoChange, {}},
      {"string root", R"("zantho")", kNoChange, {}},
      {"byte-order mark", "\xEF\xBB\xBF{\"zantho\":{\"precheck\":0}}", kNoChange, {}},
      {"second document after the first", R"({"zantho":{"precheck":0}} {})", kNoChange, {}},
      {"comment", R"({"zantho":{/* off */"precheck":0}})", kNoChange, {}},
      {"trailing comma", R"({"zantho":{"precheck":0,}})", kNoChange, {}},
      {"empty zantho", R"({"zantho":{}})", kNoChange, kDefaultLines},
      {"every key",
       R"({"zantho":{"indexserver":"idx.test:9000","indexport":8080,"precheck":0,"cdn_domain":"cdn.test",)"
       R"("server_protocol":"http","cdn_protocol":"ftp","config_update_json":"beta.json"}})",
       [](UpdateSettings& s) {
         s.indexserver = "idx.test:9000", s.indexport = 8080, s.precheck = 0, s.cdn_domain = "cdn.test";
         s.server_protocol = "http", s.cdn_protocol = "ftp", s.config_update_json = "beta.json";
       },
       {"indexserver:idx.test:9000", "indexport:8080", "precheck:0", "cdn_domain:cdn.test", "server_protocol:http",
        "cdn_protocol:ftp", "config_update_json:beta.json"}},
      {"wrong types keep the defaults",
       R"({"zantho":{"indexserver":5,"indexport":"8080","precheck":"0","cdn_domain":null,)"
       R"("server_protocol":["http"],"cdn_protocol":{},"config_update_json":true}})",
       kNoChange, kDefaultLines},
      {"fraction, exponent and out of range are not integers",
       R"({"zantho":{"indexport":2147483648,"precheck":1e0,"other":0}})", kNoChange, kDefaultLines},
      {"negative out of range and a fraction", R"({"zantho":{"indexport":-2147483649,"precheck":0.0}})", kNoChange,
       kDefaultLines},
      {"both ends of the 32-bit range", R"({"zantho":{"indexport":-2147483648,"precheck":2147483647}})",
       [](UpdateSettings& s) { s.indexport = -2147483648, s.precheck = 2147483647; },
       {kDefaultLines[0], "indexport:-2147483648", "precheck:2147483647", kDefaultLines[3], kDefaultLines[4],
        kDefaultLines[5], kDefaultLines[6]}},
      {"empty strings are stored", R"({"zantho":{"cdn_domain":"","server_protocol":""}})",
       [](UpdateSettings& s) { s.server_protocol = ""; },
       {kDefaultLines[0], kDefaultLines[1], kDefaultLines[2], "cdn_domain:", "server_protocol:", kDefaultLines[5],
        kDefaultLines[6]}},
      {"first of a key written twice",
       R"({"zantho":{"precheck":2,"precheck":0,"cdn_domain":"first","cdn_domain":"second"},"zantho":{}})",
       [](UpdateSettings& s) { s.precheck = 2, s.cdn_domain = "first"; },
       {kDefaultLines[0], kDefaultLines[1], "precheck:2", "cdn_domain:first", kDefaultLines[4], kDefaultLines[5],
        kDefaultLines[6]}},
      {"keys are case-sensitive", R"({"zantho":{"Precheck":0,"INDEXPORT":1},"Zantho":{"precheck":0}})", kNoChange,
       kDefaultLines},
      {"long value across buffer reads", R"({"zantho":{"indexserver":")" + big_host + R"("}})",
       [&](UpdateSettings& s) { s.indexserver = big_host; },
       {"indexserver:" + big_host, kDefaultLines[1], kDefaultLines[2], kDefaultLines[3], kDefaultLines[4],
        kDefaultLines[5], kDefaultLines[6]}},
      {"deeply nested other member", R"({"zantho":{"other":)" + deep + R"(,"precheck":0}})",
       [](UpdateSettings& s) { s.precheck = 0; },
       {kDefaultLines[0], kDefaultLines[1], "precheck:0", kDefaultLines[3], kDefaultLines[4], kDefaultLines[5],
        kDefaultLines[6]}},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto [settings, lines] = load(c.config);
    UpdateSettings expected;
    c.expect_changed(expected);
    EXPECT_EQ(describe(settings), describe(expected));
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(LoadConfigTest, ReadsTheSettingsWithoutALog) {
  ScratchDir dir;
  dir.enter();
  dir.write("config.json", R"({"zantho":{"precheck":0,"cdn_domain":"cdn.test"}})");
  g_settings = UpdateSettings{};
  g_log_ready = 0;
  load_config();
  EXPECT_EQ(g_settings.precheck, 0);
  EXPECT_EQ(g_settings.cdn_domain, "cdn.test");
  EXPECT_FALSE(std::filesystem::exists(dir / "logs"));
}

}  // namespace
