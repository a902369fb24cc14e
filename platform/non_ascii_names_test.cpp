// The layer's names are UTF-8 on every platform: on Windows whatever the ANSI code page and the manifest, so each
// name is checked on the disk through the standard library's own (UTF-16) view of it, not only through the layer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/state_dir.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

fs::path utf8_path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

class NonAsciiNamesTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.enter(); }

  bool on_disk(const std::string& relative) const { return fs::exists(scratch_.path() / utf8_path(relative)); }
  std::string read_back(const std::string& relative) const {
    std::ifstream in(scratch_.path() / utf8_path(relative), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  ScratchDir scratch_;
};

TEST_F(NonAsciiNamesTest, FilesAndDirectoriesKeepTheirNames) {
  const std::string dir = "游戏 目录";
  ASSERT_EQ(platform::make_directory(dir.c_str()), 0);
  ASSERT_TRUE(on_disk(dir));
  EXPECT_NE(platform::get_file_attributes(dir.c_str()) & platform::FILE_ATTRIBUTE_DIRECTORY, 0u);

  FILE* stream = platform::open_stream((dir + "/文件.txt").c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  std::fputs("榛禾", stream);
  std::fclose(stream);
  EXPECT_TRUE(on_disk(dir + "/文件.txt"));
  platform::FileStatus status{};
  ASSERT_EQ(platform::stat_path((dir + "\\文件.txt").c_str(), &status), 0);
  EXPECT_EQ(status.size, 6u);

  platform::FindData found;
  platform::Handle search = platform::find_first_file((dir + "\\文*").c_str(), &found);
  ASSERT_NE(search, nullptr);
  EXPECT_EQ(found.name, "文件.txt");
  platform::find_close(search);

  ASSERT_EQ(platform::rename_path((dir + "/文件.txt").c_str(), (dir + "/改名.txt").c_str()), 0);
  ASSERT_TRUE(platform::copy_file_replacing((dir + "/改名.txt").c_str(), (dir + "/临时.tmp").c_str(),
                                            (dir + "/副本.txt").c_str(), true));
  ASSERT_TRUE(platform::move_file_replacing((dir + "/副本.txt").c_str(), (dir + "/改名.txt").c_str()));
  ASSERT_TRUE(platform::flush_file((dir + "/改名.txt").c_str()));
  EXPECT_TRUE(on_disk(dir + "/改名.txt"));
  EXPECT_FALSE(on_disk(dir + "/文件.txt"));
  EXPECT_FALSE(on_disk(dir + "/副本.txt"));
  EXPECT_FALSE(on_disk(dir + "/临时.tmp"));
  EXPECT_EQ(read_back(dir + "/改名.txt"), "榛禾");

  ASSERT_TRUE(platform::set_file_attributes((dir + "/改名.txt").c_str(), platform::FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(platform::delete_file((dir + "/改名.txt").c_str()));
  EXPECT_FALSE(on_disk(dir + "/改名.txt"));
  ASSERT_TRUE(platform::remove_directory(dir.c_str()));
  EXPECT_FALSE(on_disk(dir));
}

TEST_F(NonAsciiNamesTest, TheCurrentDirectoryIsSetAndReadInUtf8) {
  const std::string dir = "游戏 目录";
  fs::create_directory(scratch_.path() / utf8_path(dir));
  ASSERT_TRUE(platform::set_current_directory(dir.c_str()));
  char current[4096];
  ASSERT_NE(platform::get_current_directory(current, sizeof current), nullptr);
  const std::string text(current);
  ASSERT_GT(text.size(), dir.size());
  EXPECT_EQ(text.substr(text.size() - dir.size()), dir);
  EXPECT_EQ(fs::canonical(utf8_path(text)), fs::canonical(scratch_.path() / utf8_path(dir)));
  // Room for the narrow text, whose UTF-8 form is longer than its UTF-16 one, is what counts.
  EXPECT_EQ(platform::get_current_directory(current, text.size()), nullptr);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_NE(platform::get_current_directory(current, text.size() + 1), nullptr);
}

// The state directory comes from the environment: a name set through the layer reaches the disk unchanged.
TEST_F(NonAsciiNamesTest, TheStateDirectoryTakesANonAsciiPathFromTheEnvironment) {
  const char* before = std::getenv("ZANTHO_PLATFORM_DIR");
  const std::optional<std::string> previous = before ? std::optional<std::string>(before) : std::nullopt;
  char current[4096];
  ASSERT_NE(platform::get_current_directory(current, sizeof current), nullptr);
  const std::string dir = std::string(current) + "/状态 目录";
  ASSERT_TRUE(platform::set_environment_variable("ZANTHO_PLATFORM_DIR", dir.c_str()));
  const std::string path = platform::state_path("事件", "名字");
  platform::set_environment_variable("ZANTHO_PLATFORM_DIR", previous ? previous->c_str() : nullptr);
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(fs::is_directory(scratch_.path() / utf8_path("状态 目录") / utf8_path("事件")));
  EXPECT_EQ(utf8_path(path).parent_path().filename(), utf8_path("事件"));
}

}  // namespace
