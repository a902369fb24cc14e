#include "update/copy_tail.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/scratch_dir.h"
#include "update/install_test_support.h"

namespace {

constexpr const char* kList = "packages/quembra_client_win32_installed.json";

class CopyTailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.enter();
    dir_.write(kList, "{\"files\":[[\"bin\",-1,0,0],[\"bin/x.dll\",5,0,0],[\"zantho.exe\",12,0,0]]}");
    dir_.write("bin/x.dll", "new x");
    dir_.write("zantho.exe", "new launcher");
  }

  ScratchDir dir_;
};

TEST_F(CopyTailTest, PendingFromTheMarkUntilCleared) {
  EXPECT_FALSE(copy_tail_pending());
  mark_copy_tail_pending();
  EXPECT_TRUE(copy_tail_pending());
  mark_copy_tail_pending();
  clear_copy_tail();
  EXPECT_FALSE(copy_tail_pending());
}

TEST_F(CopyTailTest, LeftoversOfAKilledCopyGoAndTheInstallationStays) {
  // Half-removed staging, the killed launcher's old name, temporaries beside listed files, and a file of the user's
  // that only looks like one.
  dir_.write("packages/tmp/bin/x.dll", "new x");
  std::filesystem::create_directories(dir_ / "packages/tmp/data/empty");
  dir_.write("zantho.old.exe", "killed launcher");
  dir_.write("zantho.exe.zantho-tmp", "new launcher");
  dir_.write("bin/x.dll.zantho-tmp", "cut");
  dir_.write("notes.txt.zantho-tmp", "the user's");

  EXPECT_EQ(remove_copy_leftovers(kList), 0);
  EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"bin", "bin/x.dll", "notes.txt.zantho-tmp",
                                                              "packages", kList, "zantho.exe"}));
  EXPECT_EQ(remove_copy_leftovers(kList), 0);
}

TEST_F(CopyTailTest, OldNameStaysWhenItHoldsTheOnlyLauncher) {
  std::filesystem::remove(dir_ / "zantho.exe");
  dir_.write("zantho.old.exe", "launcher");
  dir_.write("packages/tmp/a.txt", "a");
  EXPECT_EQ(remove_copy_leftovers(kList), 0);
  EXPECT_EQ(dir_.read("zantho.old.exe"), "launcher");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "packages/tmp"));
}

TEST_F(CopyTailTest, StagingThatCannotBeRemovedGives13) {
  dir_.write("packages/tmp/locked.txt", "k");
  dir_.write("zantho.old.exe", "killed launcher");
  platform::set_denied_path_suffix("/packages/tmp/locked.txt");
  int32_t result = remove_copy_leftovers(kList);
  platform::set_denied_path_suffix(nullptr);
  EXPECT_EQ(result, 13);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "packages/tmp/locked.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "zantho.old.exe"));
}

}  // namespace
