#include "common/file_ops.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"

namespace fs = std::filesystem;

namespace {

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.enter(); }
  void TearDown() override {
    platform::set_denied_path_suffix(nullptr);
    platform::set_disk_full_path_suffix(nullptr, 0);
  }

  ScratchDir scratch_;
};

TEST_F(FileOpsTest, SlashAndBackslashNameTheSameFile) {
  fs::create_directories(scratch_ / "packages/tmp");
  FILE* written = fopen_cwd("packages/tmp/a.txt", "wb");
  ASSERT_NE(written, nullptr);
  std::fputs("content", written);
  std::fclose(written);
  for (const char* name : {"packages/tmp/a.txt", "packages\\tmp\\a.txt", "packages\\tmp/a.txt"}) {
    FILE* read = fopen_cwd(name, "rb");
    ASSERT_NE(read, nullptr) << name;
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, read), 7u);
    EXPECT_STREQ(text, "content");
    std::fclose(read);
  }
}

TEST_F(FileOpsTest, FileExistsOnlyForFilesThatCanBeOpenedForReading) {
  scratch_.write("config.json", "{}");
  scratch_.write("locked.dll", "");
  fs::create_directory(scratch_ / "logs");
  platform::set_denied_path_suffix("locked.dll");
  EXPECT_TRUE(file_exists_cwd("config.json"));
  EXPECT_FALSE(file_exists_cwd("logs"));
  EXPECT_FALSE(file_exists_cwd("missing.json"));
  EXPECT_FALSE(file_exists_cwd("locked.dll"));
}

TEST_F(FileOpsTest, MkdirMakesEveryMissingLevelAndStopsAtAFileInTheWay) {
  EXPECT_EQ(mkdir_p_cwd("packages/tmp"), 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "packages/tmp"));
  EXPECT_EQ(mkdir_p_cwd("packages"), 0);
  EXPECT_EQ(mkdir_p_cwd("a\\b\\c\\"), 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "a/b/c"));
  EXPECT_EQ(mkdir_p_cwd(""), 0);

  scratch_.write("logs", "a file");
  errno = 0;
  EXPECT_EQ(mkdir_p_cwd("logs/update"), -1);
  EXPECT_TRUE(errno == ENOTDIR || errno == ENOENT) << errno;  // Windows finds no such path
  EXPECT_EQ(scratch_.read("logs"), "a file");
}

TEST_F(FileOpsTest, DeletePathGivesEachCaseItsOwnResult) {
  EXPECT_EQ(delete_path_cwd("missing"), -1);

  scratch_.write("zantho.old.exe", "old");
  EXPECT_NE(delete_path_cwd("zantho.old.exe"), 0);
  EXPECT_FALSE(fs::exists(scratch_ / "zantho.old.exe"));

  // A read-only file on its own is not deleted (0); inside a tree, its attribute is reset first.
  scratch_.write("readonly.txt", "x");
  ASSERT_TRUE(platform::set_file_attributes("readonly.txt", platform::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(delete_path_cwd("readonly.txt"), 0);
  EXPECT_TRUE(fs::exists(scratch_ / "readonly.txt"));

  scratch_.write("packages/tmp/bin/quillon.dll", "dll");
  scratch_.write("packages/tmp/bin/deep/er/file", "");
  scratch_.write("packages/tmp/readme", "r");
  fs::create_directories(scratch_ / "packages/tmp/empty");
  ASSERT_TRUE(platform::set_file_attributes("packages/tmp/bin/quillon.dll", platform::FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(platform::set_file_attributes("packages/tmp/bin/deep", platform::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(delete_path_cwd("packages/tmp"), 0);
  EXPECT_FALSE(fs::exists(scratch_ / "packages/tmp"));
  EXPECT_TRUE(fs::is_directory(scratch_ / "packages"));
}

TEST_F(FileOpsTest, RemoveTreeStopsAtAnEntryItCannotDeleteAndKeepsTheRest) {
  scratch_.write("tree/a", "a");
  scratch_.write("tree/sub/locked.dll", "l");
  scratch_.write("tree/z", "z");
  platform::set_denied_path_suffix("locked.dll");
  EXPECT_EQ(delete_path_cwd("tree"), -1);
  EXPECT_TRUE(fs::exists(scratch_ / "tree/sub/locked.dll"));
  EXPECT_TRUE(fs::exists(scratch_ / "tree/z"));  // entries after the failure stay

  platform::set_denied_path_suffix(nullptr);
  EXPECT_EQ(delete_path_cwd("tree"), 0);
  EXPECT_FALSE(fs::exists(scratch_ / "tree"));
}

TEST_F(FileOpsTest, RemoveTreeOfAnEmptyDirectoryAndOfLinksOutOfTheTree) {
  fs::create_directory(scratch_ / "empty");
  char dir[kPathBufferSize];
  char scratch[kPathBufferSize];
  std::snprintf(dir, sizeof dir, "%s", (scratch_ / "empty").string().c_str());
  EXPECT_EQ(remove_tree(dir, scratch), 0);
  EXPECT_FALSE(fs::exists(scratch_ / "empty"));

  scratch_.write("outside/keep", "k");
  fs::create_directory(scratch_ / "linked");
  std::error_code no_links;
  fs::create_directory_symlink(scratch_ / "outside", scratch_ / "linked/link", no_links);
  if (no_links) {
    GTEST_SKIP() << "no directory links can be made here: " << no_links.message();
  }
  fs::create_symlink(scratch_ / "nowhere", scratch_ / "linked/dangling");
  EXPECT_EQ(delete_path_cwd("linked"), 0);
  EXPECT_FALSE(fs::exists(scratch_ / "linked"));
  EXPECT_EQ(scratch_.read("outside/keep"), "k");

  // A path that is itself a link to a directory goes as the link.
  fs::create_directory_symlink(scratch_ / "outside", scratch_ / "listed");
  EXPECT_EQ(delete_path_cwd("listed"), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(scratch_ / "listed")));
  EXPECT_EQ(scratch_.read("outside/keep"), "k");
}

TEST_F(FileOpsTest, RenameOntoAnExistingNameFailsAndChangesNothing) {
  scratch_.write("zantho.exe", "new");
  scratch_.write("zantho.old.exe", "old");
  EXPECT_EQ(rename_cwd("zantho.exe", "zantho.old.exe"), -1);
  EXPECT_EQ(scratch_.read("zantho.exe"), "new");
  EXPECT_EQ(scratch_.read("zantho.old.exe"), "old");
  EXPECT_EQ(remove_cwd("zantho.old.exe"), 0);
  EXPECT_EQ(remove_cwd("zantho.old.exe"), -1);
  EXPECT_EQ(rename_cwd("zantho.exe", "zantho.old.exe"), 0);
  EXPECT_EQ(scratch_.read("zantho.old.exe"), "new");
  EXPECT_FALSE(fs::exists(scratch_ / "zantho.exe"));
}

TEST_F(FileOpsTest, CopyOfEmptyAndLargeFilesAndOfSourcesThatCannotBeRead) {
  struct {
    const char* name;
    size_t size;
  } sources[] = {{"empty", 0}, {"one_block", 65536}, {"blocks_and_a_bit", 3 * 65536 + 123}};
  for (const auto& source : sources) {
    std::string content = random_bytes(source.size, 5);
    scratch_.write(source.name, content);
    std::string destination = std::string(source.name) + ".copy";
    EXPECT_TRUE(copy_file_cwd(source.name, destination.c_str())) << source.name;
    EXPECT_EQ(scratch_.read(destination), content) << source.name;
  }

  EXPECT_FALSE(copy_file_cwd("missing", "missing.copy"));
  EXPECT_FALSE(fs::exists(scratch_ / "missing.copy"));
  scratch_.write("locked.dll", "old");
  platform::set_denied_path_suffix("locked.dll");
  EXPECT_FALSE(copy_file_cwd("one_block", "locked.dll"));
  EXPECT_EQ(scratch_.read("locked.dll"), "old");
}

TEST_F(FileOpsTest, CopyOntoAFullDiskFailsAndLeavesWhatWasWritten) {
  std::string content = random_bytes(3 * 65536, 6);
  scratch_.write("zanthoui.exe", content);
  fs::create_directory(scratch_ / "bin");
  platform::set_disk_full_path_suffix("bin/zanthoui.exe", 100000);
  EXPECT_FALSE(copy_file_cwd("zanthoui.exe", "bin\\zanthoui.exe"));
  EXPECT_EQ(scratch_.read("bin/zanthoui.exe"), content.substr(0, 100000));
  // The last block fits exactly: no short write, so the copy is whole.
  platform::set_disk_full_path_suffix("bin/zanthoui.exe", content.size());
  EXPECT_TRUE(copy_file_cwd("zanthoui.exe", "bin/zanthoui.exe"));
  EXPECT_EQ(scratch_.read("bin/zanthoui.exe"), content);
}

TEST_F(FileOpsTest, PathsTooLongForTheBufferFailWithoutTouchingAnything) {
  std::string long_name(kPathBufferSize, 'n');
  const char* name = long_name.c_str();
  EXPECT_EQ(fopen_cwd(name, "wb"), nullptr);
  EXPECT_FALSE(file_exists_cwd(name));
  EXPECT_EQ(mkdir_p_cwd(name), -1);
  EXPECT_EQ(remove_cwd(name), -1);
  EXPECT_EQ(rename_cwd(name, "x"), -1);
  EXPECT_EQ(rename_cwd("x", name), -1);
  EXPECT_EQ(delete_path_cwd(name), -1);
  EXPECT_FALSE(copy_file_cwd(name, "x"));
  EXPECT_TRUE(fs::is_empty(scratch_.path()));

  // A directory whose search pattern would not fit in the scratch buffer.
  char dir[kPathBufferSize];
  char scratch[kPathBufferSize];
  std::string too_long(kPathBufferSize - 2, 'd');
  std::snprintf(dir, sizeof dir, "%s", too_long.c_str());
  EXPECT_EQ(remove_tree(dir, scratch), -1);
  EXPECT_EQ(std::string(dir), too_long);
}

TEST_F(FileOpsTest, CurrentDirectoryComesInABufferOfEachThreadsOwn) {
  const char* mine = get_current_dir();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(fs::path(mine), fs::current_path());
  const char* theirs = nullptr;
  std::string their_text;
  std::thread([&] {
    theirs = get_current_dir();
    their_text = theirs;
  }).join();
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(their_text, mine);
}

TEST_F(FileOpsTest, CurrentDirectoryAtTheRootStillResolves) {
  scratch_.write("at_root", "r");
  // The root of the scratch directory's own drive: the current drive may be another.
  const fs::path file = scratch_ / "at_root";
  std::string relative = file.relative_path().string();
  ASSERT_TRUE(set_current_dir(file.root_path().string().c_str()));
  EXPECT_TRUE(file_exists_cwd(relative.c_str()));
  EXPECT_FALSE(set_current_dir("no such directory"));
}

}  // namespace
