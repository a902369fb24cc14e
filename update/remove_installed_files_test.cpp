#include "update/remove_installed_files.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/deep_json.h"
#include "tests/support/scratch_dir.h"
#include "update/install_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kList = "packages/quembra_client_win32_installed.json";

class RemoveInstalledFilesTest : public ::testing::Test {
 protected:
  // The program directory sits one level down, so a path that climbs out still lands inside the scratch directory.
  void SetUp() override {
    fs::create_directories(app_);
    dir_.enter();
    fs::current_path(app_);
    dir_.write("outside.txt", "not ours");
    dir_.write("app/zantho.exe", "launcher");
    dir_.write("app/keep.txt", "unlisted");
    dir_.write("app/packages/core.zip", "zip");
    dir_.write("app/packages/tmp/staged.txt", "staged");
  }

  void write_list(const std::string& text) { dir_.write(std::string("app/") + kList, text); }

  ScratchDir dir_;
  fs::path app_ = dir_ / "app";
};

TEST_F(RemoveInstalledFilesTest, ListWithoutEntriesRemovesPackagesAndTheOldLauncher) {
  // A list nested too deep for a recursive parser is one of them: it holds no usable entry.
  for (const std::string& text : {std::string("{\"checksum\":\"\"}"), std::string("{\"files\":[]}"),
                                  "{\"checksum\":\"\",\"files\":" + nested_arrays(kDeepArrays) + "}",
                                  "{\"files\":[" + nested_objects(kDeepObjects) + "]}"}) {
    SCOPED_TRACE(text.substr(0, 40));
    write_list(text);
    dir_.write("app/zantho.old.exe", "old launcher");

    remove_installed_files();
    EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"app", "app/keep.txt", "app/zantho.exe", "outside.txt"}));
  }
}

TEST_F(RemoveInstalledFilesTest, NoUsableListRemovesNothing) {
  for (const char* text : {static_cast<const char*>(nullptr), "not json", "[[\"keep.txt\",1,0,0]]"}) {
    SCOPED_TRACE(text == nullptr ? "no list" : text);
    fs::remove(app_ / kList);
    if (text != nullptr) {
      write_list(text);
    }
    dir_.write("app/zantho.old.exe", "old launcher");
    std::vector<std::string> before = list_tree(dir_.path());

    remove_installed_files();
    EXPECT_EQ(list_tree(dir_.path()), before);
  }
}

TEST_F(RemoveInstalledFilesTest, ListedPathsGoWhateverTheirOrder) {
  dir_.write("app/first/a.txt", "a");
  dir_.write("app/first/b.txt", "b");
  dir_.write("app/second/c.txt", "c");
  dir_.write("app/second/unlisted.txt", "u");
  // What a copy moved aside while a running program held it goes with its listed path, even one already gone.
  dir_.write("app/absent.txt.zantho-old", "moved aside");
  dir_.write("app/keep.txt.zantho-old", "not a listed path's");
  write_list(R"({"files":[["first",-1,0,0],["first/a.txt",1,0,0],["first/b.txt",1,0,0],)"
             R"(["second/c.txt",1,0,0],["second",-1,0,0],["absent.txt",1,0,0],["zantho.exe",8,0,0]]})");

  remove_installed_files();
  EXPECT_EQ(list_tree(dir_.path()),
            (std::vector<std::string>{"app", "app/keep.txt", "app/keep.txt.zantho-old", "outside.txt"}));
}

TEST_F(RemoveInstalledFilesTest, EntriesThatCouldLeaveTheProgramDirectoryArePassedOver) {
  dir_.write("app/gone.txt", "listed");
  write_list(R"({"files":[["../outside.txt",1,0,0],["..\\outside.txt",1,0,0],["../app",-1,0,0],)"
             R"([".",-1,0,0],["./",-1,0,0],[7,1,0,0],["keep.txt"],"keep.txt",["gone.txt",1,0,0],)"
             // Windows' normal paths would read these as keep.txt or as a device.
             R"(["keep.txt.",1,0,0],["keep.txt ",1,0,0],["keep.txt::$DATA",1,0,0],["aux.lua",1,0,0]]})");

  remove_installed_files();
  EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"app", "app/keep.txt", "app/zantho.exe", "outside.txt"}));
}

}  // namespace
