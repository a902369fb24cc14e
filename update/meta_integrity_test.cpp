#include "update/meta_integrity.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/deep_json.h"
#include "tests/support/fault_server.h"
#include "tests/support/free_port.h"
#include "update/fetch_test_fixture.h"
#include "update/meta_paths.h"

namespace {

using fetch_test::g_slot_calls;
using fetch_test::read_file;
using fetch_test::SlotCall;
using fetch_test::md5_hex;
using fetch_test::write_file;

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

// `file` with "@" standing for the checksum; `hashed` the text whose MD5 the checksum is.
struct RuleCase {
  const char* name;
  std::string file;
  std::string hashed;
  bool ok;
};

std::ostream& operator<<(std::ostream& out, const RuleCase& c) { return out << c.name; }


class ChecksumRuleTest : public testing::TestWithParam<RuleCase> {
 protected:
  ScratchDir scratch_;
};

TEST_P(ChecksumRuleTest, AcceptsExactlyTheTextTheWriterEmits) {
  const RuleCase& c = GetParam();
  scratch_.enter();
  const std::string checksum = md5_hex(c.hashed);
  std::string text = c.file;
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@')) {
    text.replace(at, 1, checksum);
  }
  write_file("packages/meta.json", text);
  PackageEntry entry{"meta.json", "packages/meta.json", "", 0, checksum, false};
  verify_meta_json(entry);
  EXPECT_EQ(entry.ok, c.ok);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, ChecksumRuleTest,
    testing::Values(
        RuleCase{"OnlyMember", R"({"checksum":"@"})", "{}", true},
        RuleCase{"LastMember", R"({"a":1,"b":[true,null],"checksum":"@"})", R"({"a":1,"b":[true,null]})", true},
        RuleCase{"MiddleMemberTakesLastsPlace", R"({"p":1,"checksum":"@","q":2,"r":3})", R"({"p":1,"r":3,"q":2})",
                 true},
        RuleCase{"MiddleMemberInFileOrderIsWrong", R"({"p":1,"checksum":"@","q":2,"r":3})",
                 R"({"p":1,"q":2,"r":3})", false},
        RuleCase{"SecondChecksumStays", R"({"checksum":"@","x":0,"checksum":"other"})",
                 R"({"checksum":"other","x":0})", true},
        RuleCase{"NestedChecksumUntouched", R"({"n":{"checksum":"k"},"checksum":"@"})",
                 R"({"n":{"checksum":"k"}})", true},
        RuleCase{"WhiteSpaceAndEscapesDoNotCount", "{ \"s\" : \"\\u0041\\/\\u00e9\\t\" ,\n \"checksum\":\"@\" }",
                 "{\"s\":\"A/\xC3\xA9\\t\"}", true},
        RuleCase{"ControlCharactersAsUpperHex", R"({"s":"\u001f","checksum":"@"})", R"({"s":"\u001F"})", true},
        RuleCase{"NumbersAsTheWriterPrintsThem", R"({"a":1.0,"b":1e0,"c":20,"d":15E-1,"checksum":"@"})",
                 R"({"a":1.0,"b":1.0,"c":20,"d":1.5})", true},
        RuleCase{"OtherMemberOrder", R"({"b":2,"a":1,"checksum":"@"})", R"({"a":1,"b":2})", false},
        RuleCase{"ByteOrderMark", "\xEF\xBB\xBF{\"checksum\":\"@\"}", "{}", false},
        RuleCase{"NotJson", R"({"checksum":"@",})", "{}", false},
        RuleCase{"ArrayRoot", R"(["@"])", "[]", false},
        RuleCase{"ChecksumNotString", R"({"checksum":5})", "{}", false},
        RuleCase{"FileCarriesAnotherChecksum", R"({"checksum":"0@"})", "{}", false},
        // Too deep for a recursive parser or writer: checked as any other file.
        RuleCase{"DeepArrays", R"({"checksum":"@","x":)" + nested_arrays(kDeepArrays) + "}",
                 R"({"x":)" + nested_arrays(kDeepArrays) + "}", true},
        RuleCase{"DeepObjects", R"({"x":)" + nested_objects(kDeepObjects) + R"(,"checksum":"@"})",
                 R"({"x":)" + nested_objects(kDeepObjects) + "}", true},
        RuleCase{"DeepObjectsOtherText", R"({"x":)" + nested_objects(kDeepObjects) + R"(,"checksum":"@"})",
                 R"({"x":)" + nested_objects(kDeepObjects - 1) + "}", false},
        RuleCase{"DeepArraysRoot", nested_arrays(kDeepArrays), "[]", false}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST(ChecksumExpectationTest, ExpectedValueMustBeginWithTheLowerCaseDigest) {
  ScratchDir scratch;
  scratch.enter();
  const std::string good = md5_hex("{}");
  const struct {
    std::string expected;
    bool ok;
  } cases[] = {{good, true}, {upper(good), false}, {"", false}, {good.substr(0, 31), false},
               // Only the 32 computed digits are compared; the file carries the whole value.
               {good + "0", true}};
  for (const auto& c : cases) {
    write_file("packages/m.json", R"({"checksum":")" + c.expected + R"("})");
    PackageEntry entry{"m.json", "packages/m.json", "", 0, c.expected, false};
    verify_meta_json(entry);
    EXPECT_EQ(entry.ok, c.ok) << c.expected;
  }
  PackageEntry missing{"m.json", "packages/none.json", "", 0, good, false};
  verify_meta_json(missing);
  EXPECT_FALSE(missing.ok);
}

TEST(SealMetadataTest, SealedDocumentsPassTheLaunchersCheckWhereverTheChecksumSits) {
  ScratchDir scratch;
  scratch.enter();
  const char* documents[] = {R"({"a":1,"checksum":"","b":[1.5,"\u0001"],"c":{"checksum":"x"}})",
                             R"({"checksum":"","checksum":"second"})", R"({})", R"({"z":"\u00e9"})"};
  for (const char* text : documents) {
    rapidjson::Document document;
    document.Parse(text);
    const std::string checksum = seal_metadata(document);
    write_file("sealed.json", to_compact_json(document));
    PackageEntry entry{"sealed.json", "sealed.json", "", 0, checksum, false};
    verify_meta_json(entry);
    EXPECT_TRUE(entry.ok) << text;
  }
}

int64_t fixed_time() { return 1700000000; }

TEST(MetaEntriesTest, BuildsBothEntriesWithOneTimeSuffix) {
  ScratchDir scratch;
  scratch.enter();
  g_settings = UpdateSettings{};
  g_settings.cdn_protocol = "http";
  g_settings.cdn_domain = "cdn.example/sub";
  g_settings.metains = "aa";
  g_settings.metaman = "";
  set_unix_time_source(fixed_time);
  const std::vector<PackageEntry> entries = collect_meta_entries();
  set_unix_time_source(nullptr);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].url, "http://cdn.example/sub/quembra_client_win32_installed.json.aa?1700000000");
  EXPECT_EQ(entries[0].local_path, "packages/quembra_client_win32_installed.json");
  EXPECT_EQ(entries[0].checksum, "aa");
  EXPECT_EQ(entries[1].url, "http://cdn.example/sub/quembra_client_win32_manifest.json.?1700000000");
  EXPECT_EQ(entries[1].local_path, std::string(manifest_json_path()));
  EXPECT_FALSE(entries[0].ok || entries[1].ok);
}

class MetaIntegrityTest : public fetch_test::PublishedCdnTest {
 protected:
  std::string served_installed() const {
    return read_file(scratch_ / "cdn" / (std::string(kInstalledJsonName) + "." + published_.metains));
  }
  std::string served_manifest() const {
    return read_file(scratch_ / "cdn" / (std::string(kManifestJsonName) + "." + published_.metaman));
  }
  // Names of the files asked for with GET, once `at_least` requests have been logged.
  std::vector<std::string> fetched(size_t at_least) const {
    std::vector<std::string> names;
    for (const std::string& line : requests(at_least)) {
      if (line.rfind("GET ", 0) == 0) {
        names.push_back(line.substr(5, line.find('.') - 5));
      }
    }
    return names;
  }
};

TEST_F(MetaIntegrityTest, BothCurrentFetchesNothing) {
  publish_and_serve();
  write_file(installed_json_path(), served_installed());
  write_file(manifest_json_path(), served_manifest());
  EXPECT_EQ(meta_json_integrity(), 0);
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"meta_begin", 0, 0}, {"meta_progress", 1, 1}}));
  EXPECT_TRUE(requests().empty());
}

TEST_F(MetaIntegrityTest, OneMissingFetchesOnlyIt) {
  publish_and_serve();
  write_file(installed_json_path(), served_installed());
  EXPECT_EQ(meta_json_integrity(), 0);
  EXPECT_EQ(read_file(manifest_json_path()), served_manifest());
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"meta_begin", 0, 0}, {"meta_progress", 1, 1}}));
  EXPECT_EQ(fetched(2), (std::vector<std::string>{"quembra_client_win32_manifest"}));
}

TEST_F(MetaIntegrityTest, BothBadAreReplaced) {
  publish_and_serve();
  // Longer than the served files, so the downloader fetches them whole.
  write_file(installed_json_path(), std::string(100000, ' ') + "{}");
  write_file(manifest_json_path(), R"({"checksum":")" + published_.metaman + R"(","x":1})" + std::string(100000, ' '));
  EXPECT_EQ(meta_json_integrity(), 0);
  EXPECT_EQ(read_file(installed_json_path()), served_installed());
  EXPECT_EQ(read_file(manifest_json_path()), served_manifest());
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"meta_begin", 0, 0}, {"meta_progress", 2, 2}}));
}

TEST_F(MetaIntegrityTest, StaleShorterFileIsResumedThenReplaced) {
  publish_and_serve();
  write_file(installed_json_path(), served_installed());
  write_file(manifest_json_path(), "{}");
  // The stale copy is extended, not replaced: the result is not the served file.
  EXPECT_EQ(meta_json_integrity(), 19);
  EXPECT_EQ(read_file(manifest_json_path()).size(), served_manifest().size());
  EXPECT_EQ(g_slot_calls, (std::vector<SlotCall>{{"meta_begin", 0, 0}, {"meta_progress", 1, 1}}));
  // The next attempt finds a file as long as the served one and fetches it whole.
  g_slot_calls.clear();
  EXPECT_EQ(meta_json_integrity(), 0);
  EXPECT_EQ(read_file(manifest_json_path()), served_manifest());
}

TEST_F(MetaIntegrityTest, MissingOnServerIsNetworkAnomaly) {
  publish_and_serve();
  g_settings.metaman = "0123456789abcdef0123456789abcdef";
  write_file(installed_json_path(), served_installed());
  EXPECT_EQ(meta_json_integrity(), 19);
}

TEST_F(MetaIntegrityTest, RefusedConnectionCannotConnect) {
  g_settings.cdn_protocol = "http";
  g_settings.cdn_domain = "127.0.0.1:" + std::to_string(free_port());
  g_settings.metains = "a";
  g_settings.metaman = "b";
  EXPECT_EQ(meta_json_integrity(), 14);
}

// A host that accepts and then sends nothing is given up after a minute on the test clock, as any other
// failed download of the step.
TEST_F(MetaIntegrityTest, SilentHostIsNetworkAnomaly) {
  FaultServer server;
  g_settings.cdn_protocol = "http";
  g_settings.cdn_domain = "127.0.0.1:" + std::to_string(server.port());
  g_settings.metains = "a";
  g_settings.metaman = "b";
  server.serve(std::string(kInstalledJsonName) + ".a", "{}", Fault::kSilent);
  server.serve(std::string(kManifestJsonName) + ".b", "{}", Fault::kSilent);
  write_file(manifest_json_path(), "{\"partial\":");
  platform::use_test_clock(true, 1000000);
  server.on_hold([] { platform::advance_test_clock(60001); });
  EXPECT_EQ(meta_json_integrity(), 19);
  platform::use_test_clock(false);
  server.release();
  EXPECT_EQ(read_file(manifest_json_path()), "{\"partial\":");
}

}  // namespace
