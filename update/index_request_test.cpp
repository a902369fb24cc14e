#include "update/index_request.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/deep_json.h"
#include "tests/support/fault_server.h"
#include "tests/support/free_port.h"
#include "update/fetch_test_fixture.h"

namespace {

using fetch_test::g_slot_calls;
using fetch_test::SlotCall;

struct ReplyCase {
  const char* name;
  const char* configured_cdn;
  std::string reply;
  bool taken;
  const char* cdn_after;
  const char* metains_after;
  const char* metaman_after;
};

std::ostream& operator<<(std::ostream& out, const ReplyCase& c) { return out << c.name; }


class IndexReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(IndexReplyTest, TakesOnlyAUsableReply) {
  const ReplyCase& c = GetParam();
  g_settings = UpdateSettings{};
  g_settings.cdn_domain = c.configured_cdn;
  g_settings.metaman = "previous";
  EXPECT_EQ(parse_index_json(c.reply), c.taken);
  EXPECT_EQ(g_settings.cdn_domain, c.cdn_after);
  EXPECT_EQ(g_settings.metains, c.metains_after);
  EXPECT_EQ(g_settings.metaman, c.metaman_after);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IndexReplyTest,
    testing::Values(
        ReplyCase{"ConfiguredCdnWins", "cdn.example", R"({"cdndomain":"other","metains":"i","metaman":"m"})", true,
                  "cdn.example", "i", "m"},
        ReplyCase{"ConfiguredCdnIgnoresBadValue", "cdn.example", R"({"cdndomain":5,"metains":"i"})", true,
                  "cdn.example", "i", "previous"},
        ReplyCase{"RepliedCdnFillsEmpty", "", R"({"cdndomain":"c","metains":"i","metaman":"m"})", true, "c", "i",
                  "m"},
        ReplyCase{"MissingCdnWhileNeeded", "", R"({"metains":"i"})", false, "", "", "previous"},
        ReplyCase{"CdnKeptWhenMetainsMissing", "", R"({"cdndomain":"c","metaman":"m"})", false, "c", "",
                  "previous"},
        ReplyCase{"MetainsNumber", "cdn", R"({"metains":5})", false, "cdn", "", "previous"},
        ReplyCase{"MetainsEmptyString", "cdn", R"({"metains":""})", true, "cdn", "", "previous"},
        ReplyCase{"MetamanNotString", "cdn", R"({"metains":"i","metaman":1})", true, "cdn", "i", "previous"},
        ReplyCase{"FirstOfTwoKeys", "cdn", R"({"metains":"a","metains":"b"})", true, "cdn", "a", "previous"},
        ReplyCase{"ArrayRoot", "cdn", R"([{"metains":"i"}])", false, "cdn", "", "previous"},
        ReplyCase{"EmptyBody", "cdn", "", false, "cdn", "", "previous"},
        ReplyCase{"EmptyObject", "cdn", "{}", false, "cdn", "", "previous"},
        ReplyCase{"TrailingText", "cdn", R"({"metains":"i"} x)", false, "cdn", "", "previous"},
        ReplyCase{"NulAfterRoot", "cdn", std::string("{\"metains\":\"i\"}\0x", 17), false, "cdn", "", "previous"},
        ReplyCase{"ByteOrderMark", "cdn", "\xEF\xBB\xBF{\"metains\":\"i\"}", false, "cdn", "", "previous"},
        // Nested deeper than a recursive parser's stack allows.
        ReplyCase{"DeepArrays", "cdn", nested_arrays(kDeepArrays), false, "cdn", "", "previous"},
        ReplyCase{"DeepObjects", "cdn", nested_objects(kDeepObjects), false, "cdn", "", "previous"},
        ReplyCase{"DeepMemberBesideAUsableReply", "cdn",
                  R"({"x":)" + nested_arrays(kDeepArrays) + R"(,"metains":"i","metaman":"m"})", true, "cdn", "i",
                  "m"}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(IndexCallbackTest, MapsResultAndStatusToCodes) {
  g_settings = UpdateSettings{};
  g_settings.cdn_domain = "cdn";
  const struct {
    int32_t result;
    int32_t status;
    const char* body;
    int code;
  } cases[] = {{3, -1, "", 14},    {1, -1, "", 18},    {5, 200, "", 18},   {6, 404, "", 18},
               {0, 200, R"({"metains":"i"})", 0}, {0, 200, "[]", 4}, {0, 400, "", 28},
               {0, 406, "", 30},   {0, 415, "", 29},   {0, 503, "", 27},   {0, 302, "", 26}};
  for (const auto& c : cases) {
    std::string body = c.body;
    int code = -7;
    IndexFetchContext context{&body, &code};
    fetch_index_json_callback(c.result, c.status, &context);
    EXPECT_EQ(code, c.code) << c.result << " " << c.status;
  }
}

int64_t fixed_time() { return 1700000000; }
int64_t past_2038() { return 2147483648LL + 5; }

TEST(IndexUrlTest, JoinsTheSettingsAndTheTimeAsSignedValue) {
  g_settings = UpdateSettings{};
  g_settings.server_protocol = "http";
  g_settings.indexserver = "index.example:81";
  g_settings.config_update_json = "c.json";
  set_unix_time_source(fixed_time);
  EXPECT_EQ(build_index_url(), "http://index.example:81/api/c.json?zantho_client=client&zantho_version=3.0.0.1&1700000000");
  set_unix_time_source(past_2038);
  EXPECT_EQ(build_index_url(),
            "http://index.example:81/api/c.json?zantho_client=client&zantho_version=3.0.0.1&-2147483643");
  set_unix_time_source(nullptr);
}

class IndexFetchTest : public fetch_test::PublishedCdnTest {};

int64_t g_now = 1700000000;
int64_t test_clock() { return g_now; }

TEST_F(IndexFetchTest, TakesThePublishedReplyAndEachAttemptHasItsOwnUrl) {
  publish_and_serve();
  const std::string cdn = g_settings.cdn_domain;
  g_settings.cdn_domain.clear();
  g_settings.metains.clear();
  g_settings.metaman.clear();
  set_unix_time_source(test_clock);
  // The published reply has no cdndomain: needed while none is configured.
  EXPECT_EQ(run_setup_index_data(), 4);
  g_settings.cdn_domain = cdn;
  g_now += 1;
  EXPECT_EQ(run_setup_index_data(), 0);
  EXPECT_EQ(g_settings.metains, published_.metains);
  EXPECT_EQ(g_settings.metaman, published_.metaman);
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"index_begin", 0, 0}, {"index_begin", 0, 0}, {"index_end", 0, 0}}));
  EXPECT_FALSE(fetch_test::g_slot_window_seen_wrong);

  std::vector<std::string> gets;
  for (const std::string& line : requests(4)) {
    if (line.rfind("GET ", 0) == 0) {
      gets.push_back(line.substr(4, line.find(' ', 4) - 4));
    }
  }
  const std::string base = "/api/clients.json?zantho_client=client&zantho_version=3.0.0.1&";
  EXPECT_EQ(gets, (std::vector<std::string>{base + "1700000000", base + "1700000001"}));
}

TEST_F(IndexFetchTest, RepliedCdnDomainFillsTheEmptySetting) {
  fetch_test::make_image(scratch_ / "image");
  ASSERT_EQ(publish_tree({scratch_ / "image", scratch_ / "cdn", {}, "cdn.example:9"}, &published_), 0);
  serve();
  g_settings.cdn_domain.clear();
  g_settings.metains.clear();
  EXPECT_EQ(fetch_index_json(), 0);
  EXPECT_EQ(g_settings.cdn_domain, "cdn.example:9");
  EXPECT_EQ(g_settings.metains, published_.metains);
}

// The downloader drops an error page of known length and fails its transfer, so the callback never runs;
// the attempt must still fail, with the code of any other failed transfer.
TEST_F(IndexFetchTest, ErrorPageOfKnownLengthFailsTheAttempt) {
  publish_and_serve();
  g_settings.config_update_json = "missing.json";
  EXPECT_EQ(run_setup_index_data(), 18);
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"index_begin", 0, 0}}));
}

TEST_F(IndexFetchTest, RefusedConnectionCannotConnect) {
  g_settings.server_protocol = "http";
  g_settings.indexserver = "127.0.0.1:" + std::to_string(free_port());
  EXPECT_EQ(run_setup_index_data(), 14);
}

// An index server that accepts and then sends nothing: the probe and the fetch each give up after a minute on
// the test clock, and the attempt ends as a stalled one.
TEST_F(IndexFetchTest, SilentServerIsAStall) {
  FaultServer server;
  server.serve("api/clients.json", "{}", Fault::kSilent);
  g_settings.server_protocol = "http";
  g_settings.indexserver = "127.0.0.1:" + std::to_string(server.port());
  platform::use_test_clock(true, 1000000);
  server.on_hold([] { platform::advance_test_clock(60001); });
  EXPECT_EQ(run_setup_index_data(), 21);
  platform::use_test_clock(false);
  server.release();
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
