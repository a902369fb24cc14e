#include "tools/publisher/publisher.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <rapidjson/document.h>
#include <zlib.h>

#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Name and content of every entry, in the archive's order.
std::vector<std::pair<std::string, std::string>> unzip_all(const fs::path& zip) {
  std::vector<std::pair<std::string, std::string>> entries;
  unzFile archive = unzOpen64(zip.string().c_str());
  if (archive == nullptr) {
    ADD_FAILURE() << "cannot open " << zip;
    return entries;
  }
  for (int code = unzGoToFirstFile(archive); code == UNZ_OK; code = unzGoToNextFile(archive)) {
    char name[1024];
    unz_file_info64 info;
    unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    std::string content(info.uncompressed_size, '\0');
    EXPECT_EQ(unzOpenCurrentFile(archive), UNZ_OK);
    EXPECT_EQ(unzReadCurrentFile(archive, content.data(), static_cast<unsigned>(content.size())),
              static_cast<int>(content.size()));
    EXPECT_EQ(unzCloseCurrentFile(archive), UNZ_OK) << name;  // checks the stored CRC
    entries.emplace_back(name, content);
  }
  unzClose(archive);
  return entries;
}

rapidjson::Document parse(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

class PublisherTest : public testing::Test {
 protected:
  void SetUp() override {
    write("zantho.exe", std::string(5000, 'z'));
    write("zanthoui.exe", "ui");
    write("bin/quillon.dll", "runtime");
    write("bin/data/a.txt", "");
    fs::create_directories(image_ / "empty");
  }
  void write(const std::string& name, const std::string& content) {
    fs::create_directories((image_ / name).parent_path());
    std::ofstream(image_ / name, std::ios::binary) << content;
  }
  ScratchDir scratch_;
  fs::path image_ = scratch_ / "image";
  fs::path out_ = scratch_ / "out";
};

TEST_F(PublisherTest, WritesZipsMetadataAndIndexReply) {
  PublishResult result;
  ASSERT_EQ(publish_tree({image_, out_, {{"core.zip", {"zantho.exe", "*"}}, {"runtime.zip", {"bin"}}}, "cdn:8"},
                         &result),
            0);

  EXPECT_EQ(unzip_all(out_ / "core.zip"),
            (std::vector<std::pair<std::string, std::string>>{{"zantho.exe", std::string(5000, 'z')},
                                                              {"zanthoui.exe", "ui"}}));
  EXPECT_EQ(unzip_all(out_ / "runtime.zip"),
            (std::vector<std::pair<std::string, std::string>>{{"bin/data/a.txt", ""}, {"bin/quillon.dll", "runtime"}}));

  const rapidjson::Document manifest = parse(read_file(out_ / (std::string(kManifestJsonName) + "." + result.metaman)));
  ASSERT_TRUE(manifest["packages"].IsArray());
  ASSERT_EQ(manifest["packages"].Size(), 2u);
  const char* zips[] = {"core.zip", "runtime.zip"};
  for (unsigned i = 0; i < 2; ++i) {
    const rapidjson::Value& element = manifest["packages"][i];
    EXPECT_STREQ(element["file"].GetString(), zips[i]);
    EXPECT_EQ(element["size"].GetInt64(), static_cast<int64_t>(fs::file_size(out_ / zips[i])));
    EXPECT_EQ(element["checksum"].GetString(), md5_hex_of_file(out_ / zips[i]));
  }

  // Parents before their contents, byte order within a directory; CRC-32 as zlib computes it.
  const rapidjson::Document installed =
      parse(read_file(out_ / (std::string(kInstalledJsonName) + "." + result.metains)));
  const struct {
    const char* path;
    int64_t size;
    const char* content;
  } expected[] = {{"bin", -1, nullptr},         {"bin/data", -1, nullptr},   {"bin/data/a.txt", 0, ""},
                  {"bin/quillon.dll", 7, "runtime"}, {"empty", -1, nullptr}, {"zantho.exe", 5000, nullptr},
                  {"zanthoui.exe", 2, "ui"}};
  const rapidjson::Value& files = installed["files"];
  ASSERT_EQ(files.Size(), std::size(expected));
  for (unsigned i = 0; i < files.Size(); ++i) {
    EXPECT_STREQ(files[i][0].GetString(), expected[i].path);
    EXPECT_EQ(files[i][1].GetInt64(), expected[i].size);
    if (expected[i].content != nullptr) {
      const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(expected[i].content),
                              static_cast<uInt>(std::strlen(expected[i].content)));
      EXPECT_EQ(files[i][3].GetInt64(), static_cast<int64_t>(crc)) << expected[i].path;
    }
  }

  const rapidjson::Document index = parse(read_file(out_ / "api" / "clients.json"));
  EXPECT_STREQ(index["cdndomain"].GetString(), "cdn:8");
  EXPECT_EQ(index["metains"].GetString(), result.metains);
  EXPECT_EQ(index["metaman"].GetString(), result.metaman);
}

TEST_F(PublisherTest, SamePublishingGivesTheSameBytes) {
  PublishResult first;
  PublishResult second;
  ASSERT_EQ(publish_tree({image_, out_, {}, ""}, &first), 0);
  const std::string zip = read_file(out_ / "client.zip");
  ASSERT_EQ(publish_tree({image_, scratch_ / "again", {}, ""}, &second), 0);
  EXPECT_EQ(read_file(scratch_ / "again" / "client.zip"), zip);
  EXPECT_EQ(first.metains, second.metains);
  EXPECT_EQ(first.metaman, second.metaman);
  EXPECT_FALSE(parse(read_file(out_ / "api" / "clients.json")).HasMember("cdndomain"));
}

TEST_F(PublisherTest, RefusesALayoutThatDoesNotCoverTheImageOnce) {
  const struct {
    const char* name;
    std::vector<PackageLayout> packages;
  } cases[] = {
      {"file in no package", {{"a.zip", {"bin", "zantho.exe"}}}},
      {"file in two packages", {{"a.zip", {"*"}}, {"b.zip", {"bin", "bin/quillon.dll", "zantho.exe"}}, {"c.zip", {"zantho.exe"}}}},
      {"path not in the image", {{"a.zip", {"*", "nothere"}}}},
      {"package without files", {{"a.zip", {"*"}}, {"b.zip", {"empty"}}}},
      {"name with a directory", {{"sub/a.zip", {"*"}}}},
      {"name without a dot", {{"azip", {"*"}}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(publish_tree({image_, out_, c.packages, ""}, nullptr), 1) << c.name;
  }
  EXPECT_EQ(publish_tree({scratch_ / "none", out_, {}, ""}, nullptr), 1);
}

TEST_F(PublisherTest, CommandLineNamesTheChecksums) {
  const fs::path program = build_dir() / "tools" / "zantho_publish";
  const fs::path printed = scratch_ / "printed.txt";
  const std::string command = program.string() + " --image " + image_.string() + " --out " + out_.string() +
                              " --package core.zip=zantho.exe,zanthoui.exe --package rest.zip=* > " +
                              printed.string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string text = read_file(printed);
  ASSERT_EQ(text.size(), std::string("metains \nmetaman \n").size() + 64) << text;
  const std::string metaman = text.substr(text.find("metaman ") + 8, 32);
  EXPECT_TRUE(fs::exists(out_ / "core.zip"));
  EXPECT_TRUE(fs::exists(out_ / "rest.zip"));
  EXPECT_TRUE(fs::exists(out_ / (std::string(kManifestJsonName) + "." + metaman)));
  EXPECT_NE(std::system((program.string() + " --image " + image_.string() + " 2>/dev/null").c_str()), 0);
}

}  // namespace
