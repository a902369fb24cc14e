#include "update/package_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/deep_json.h"
#include "update/fetch_test_fixture.h"

namespace {

using fetch_test::md5_hex;
using fetch_test::write_file;

int64_t fixed_time() { return 1700000000; }

class PackageListTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_.enter();
    g_settings = UpdateSettings{};
    g_settings.cdn_protocol = "http";
    g_settings.cdn_domain = "cdn.example";
    write_file("packages/a.zip", "zip bytes");
    set_unix_time_source(fixed_time);
  }
  void TearDown() override { set_unix_time_source(nullptr); }

  int load(const std::string& manifest, std::vector<PackageEntry>& list) {
    write_file("packages/m.json", manifest);
    return load_package_list(list, "packages/m.json");
  }
  // The manifest with one element for a.zip carrying the given checksum text.
  int load_checksum(const std::string& checksum, bool* ok) {
    std::vector<PackageEntry> list;
    const int result = load(R"({"packages":[{"file":"a.zip","checksum":")" + checksum + R"("}]})", list);
    *ok = list.size() == 1 && list[0].ok;
    return result;
  }

  ScratchDir scratch_;
  const std::string digest_ = md5_hex("zip bytes");
};

TEST_F(PackageListTest, ChecksumIsComparedAsAPrefixOfTheLowerCaseDigest) {
  std::string upper = digest_;
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const struct {
    std::string checksum;
    bool ok;
  } cases[] = {{digest_, true},          {digest_.substr(0, 8), true}, {"", true},
               {upper, upper == digest_}, {digest_ + "0", false},      {digest_.substr(1, 8), false}};
  for (const auto& c : cases) {
    bool ok = false;
    EXPECT_EQ(load_checksum(c.checksum, &ok), 0);
    EXPECT_EQ(ok, c.ok) << c.checksum;
  }
}

TEST_F(PackageListTest, AbsentZipHashesAsZeroes) {
  std::vector<PackageEntry> list;
  ASSERT_EQ(load(R"({"packages":[{"file":"none.zip","checksum":"0000"},{"file":"gone.zip","checksum":""},
                   {"file":"lost.zip","checksum":"d41d8cd98f00b204e9800998ecf8427e"}]})",
                 list),
            0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[0].ok);
  EXPECT_TRUE(list[1].ok);
  EXPECT_FALSE(list[2].ok);
}

// More zips than there are hashing threads: each record gets its own file's digest, and the console lines
// come in manifest order.
TEST_F(PackageListTest, ManyZipsAreEachMatchedWithTheirOwnDigestAndPrintedInOrder) {
  std::string manifest = R"({"packages":[)";
  std::string console;
  std::vector<bool> expected_ok;
  for (int i = 0; i < 23; ++i) {
    const std::string name = "z" + std::to_string(i) + ".zip";
    const std::string content(1000 + i * 7919, static_cast<char>('a' + i));
    const bool present = i % 5 != 4;
    if (present) {
      write_file("packages/" + name, content);
      console += "aaaMD5 (packages\\" + name + ") = " + md5_hex(content) + "\n";
    } else {
      console += "packages\\" + name + " can't be opened\n";
    }
    // Every third lists the digest of its neighbour's content.
    const std::string listed = md5_hex(i % 3 == 0 ? content + "x" : content);
    expected_ok.push_back(present && i % 3 != 0);
    manifest += (i ? "," : "") + (R"({"file":")" + name + R"(","checksum":")" + listed + R"("})");
  }
  std::vector<PackageEntry> list;
  testing::internal::CaptureStdout();
  const int result = load(manifest + "]}", list);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), console);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(list.size(), expected_ok.size());
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].name, "z" + std::to_string(i) + ".zip");
    EXPECT_EQ(list[i].ok, expected_ok[i]) << list[i].name;
  }
}

TEST_F(PackageListTest, FillsRecordsInManifestOrder) {
  std::vector<PackageEntry> list(1);
  ASSERT_EQ(load(R"({"x":1,"packages":[{"file":"a.zip","checksum":"","size":9,"file":"ignored"},
                   {"file":"big.zip","checksum":"","size":2147483648},
                   {"file":"max.zip","checksum":"","size":4294967295},
                   {"file":"low.zip","checksum":"","size":4294967297},
                   {"file":"nosize.zip","checksum":""}]})",
                 list),
            0);
  EXPECT_EQ(g_package_count, 5);
  ASSERT_EQ(list.size(), 6u);
  const struct {
    const char* name;
    int32_t size;
  } expected[] = {{"a.zip", 9}, {"big.zip", INT32_MIN}, {"max.zip", -1}, {"low.zip", 1}, {"nosize.zip", 0}};
  for (size_t i = 0; i < 5; ++i) {
    const PackageEntry& entry = list[i + 1];
    EXPECT_EQ(entry.name, expected[i].name);
    EXPECT_EQ(entry.size, expected[i].size) << entry.name;
    EXPECT_EQ(entry.url, std::string("http://cdn.example/") + expected[i].name + "?1700000000");
    EXPECT_TRUE(entry.local_path.empty());
    EXPECT_TRUE(entry.checksum.empty());
  }
}

TEST_F(PackageListTest, NoPackagesMemberIsAnEmptyList) {
  std::vector<PackageEntry> list;
  g_package_count = 9;
  EXPECT_EQ(load(R"({"checksum":"x"})", list), 0);
  EXPECT_EQ(g_package_count, 0);
  EXPECT_TRUE(list.empty());
}

TEST_F(PackageListTest, UnopenableManifest) {
  std::vector<PackageEntry> list;
  EXPECT_EQ(load_package_list(list, "packages/none.json"), 11);
  EXPECT_TRUE(list.empty());
}

TEST_F(PackageListTest, ManifestOutsideItsFormatGivesNoRecords) {
  const std::string dot_too_late = std::string(512, 'a') + ".zip";
  const std::string dot_at_511 = std::string(511, 'a') + ".zip";
  const std::string manifests[] = {
      R"([{"file":"a.zip","checksum":""}])",
      R"({"packages":[)",
      "\xEF\xBB\xBF{\"packages\":[]}",
      R"({"packages":{"file":"a.zip","checksum":""}})",
      R"({"packages":[{"file":"a.zip","checksum":""},"b.zip"]})",
      R"({"packages":[{"checksum":""}]})",
      R"({"packages":[{"file":"a.zip"}]})",
      R"({"packages":[{"file":7,"checksum":""}]})",
      R"({"packages":[{"file":"a.zip","checksum":null}]})",
      R"({"packages":[{"file":"a.zip","checksum":"","size":"9"}]})",
      R"({"packages":[{"file":"a.zip","checksum":"","size":9.5}]})",
      R"({"packages":[{"file":"azip","checksum":""}]})",
      R"({"packages":[{"file":")" + dot_too_late + R"(","checksum":""}]})",
      R"({"packages":[{"file":"../a.zip","checksum":""}]})",
      R"({"packages":[{"file":"x\\..\\..\\a.zip","checksum":""}]})",
      R"({"packages":[{"file":"/tmp/a.zip","checksum":""}]})",
      R"({"packages":[{"file":"\\a.zip","checksum":""}]})",
      R"({"packages":[{"file":"C:a.zip","checksum":""}]})",
      R"({"packages":)" + nested_arrays(kDeepArrays) + "}",
      R"({"packages":[)" + nested_objects(kDeepObjects) + "]}",
      nested_arrays(kDeepArrays),
  };
  for (const std::string& manifest : manifests) {
    std::vector<PackageEntry> list(1);
    EXPECT_EQ(load(manifest, list), 7) << manifest.substr(0, 80);
    EXPECT_EQ(list.size(), 1u) << manifest.substr(0, 80);
  }
  std::vector<PackageEntry> list;
  EXPECT_EQ(load(R"({"packages":[{"file":")" + dot_at_511 + R"(","checksum":""}]})", list), 0);
  EXPECT_EQ(list.size(), 1u);
}

}  // namespace
