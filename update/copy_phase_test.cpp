#include "update/copy_phase.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/update_settings.h"
#include "platform/files.h"
#include "tests/support/scratch_dir.h"
#include "update/install_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kList = "packages/quembra_client_win32_installed.json";

// Makes every file operation on paths ending in suffix fail as on a file in use, for the life of the guard.
class InUse {
 public:
  explicit InUse(const char* suffix) { platform::set_denied_path_suffix(suffix); }
  ~InUse() { platform::set_denied_path_suffix(nullptr); }
};

class CopyPhaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.enter();
    g_settings.precheck = 1;
    dir_.write("zantho.exe", "running launcher");
  }

  // entries: path and size; -1 for a directory.
  void write_list(const std::vector<std::pair<std::string, int64_t>>& entries) {
    std::string files;
    for (const auto& [path, size] : entries) {
      files += (files.empty() ? "[\"" : ",[\"") + path + "\"," + std::to_string(size) + ",0,0]";
    }
    dir_.write(kList, "{\"checksum\":\"\",\"files\":[" + files + "]}");
  }

  void stage(const std::string& path, const std::string& content) { dir_.write("packages/tmp/" + path, content); }

  int32_t run_copy(std::string* console) {
    testing::internal::CaptureStdout();
    int32_t result = copy_phase();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    if (console != nullptr) {
      *console = out;
    }
    return result;
  }

  ScratchDir dir_;
  SlotRecorder slots_{&UiCallbacks::copy_begin, &UiCallbacks::copy_progress};
};

TEST_F(CopyPhaseTest, DirectoryThenItsFile) {
  write_list({{"bin", -1}, {"bin/x.dll", 3}});
  stage("bin/x.dll", "dll");

  std::string console;
  EXPECT_EQ(run_copy(&console), 0);
  EXPECT_EQ(console, "destf : bin\ndestf : bin/x.dll\n");
  EXPECT_EQ(dir_.read("bin/x.dll"), "dll");
  EXPECT_EQ(SlotRecorder::begin_calls(), 1);
  EXPECT_EQ(SlotRecorder::progress_calls(), (Progress{{1, 1}}));
  EXPECT_FALSE(fs::exists(dir_ / "packages/tmp"));
  // The list does not name the launcher, so the running one stays.
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
  EXPECT_FALSE(fs::exists(dir_ / "zantho.old.exe"));
}

TEST_F(CopyPhaseTest, SizeWithAllLowBitsSetIsADirectory) {
  write_list({{"data", 4294967295}, {"data/a.txt", 1}});
  stage("data/a.txt", "a");

  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(dir_.read("data/a.txt"), "a");
}

TEST_F(CopyPhaseTest, ExecutableReplacedUnlessPrecheckIs2) {
  struct Case {
    int32_t precheck;
    const char* executable_after;
  };
  for (const Case& c : {Case{1, "new launcher"}, Case{2, "running launcher"}}) {
    SCOPED_TRACE(c.precheck);
    g_settings.precheck = c.precheck;
    dir_.write("zantho.exe", "running launcher");
    dir_.write("zantho.old.exe", "left from an earlier copy");
    dir_.write("a.txt", "old a");
    write_list({{"zantho.exe", 12}, {"a.txt", 5}});
    stage("zantho.exe", "new launcher");
    stage("a.txt", "new a");

    EXPECT_EQ(run_copy(nullptr), 0);
    EXPECT_EQ(dir_.read("zantho.exe"), c.executable_after);
    EXPECT_FALSE(fs::exists(dir_ / "zantho.old.exe"));
    EXPECT_EQ(dir_.read("a.txt"), "new a");
  }
}

TEST_F(CopyPhaseTest, FailedCopyKeepsEarlierFilesAndRestoresTheLauncher) {
  for (bool in_use : {false, true}) {
    SCOPED_TRACE(in_use ? "destination in use" : "source missing");
    ScratchDir program;
    program.enter();
    program.write("zantho.exe", "running launcher");
    for (const char* name : {"a.txt", "sub/b.txt", "c.txt"}) {
      program.write(name, "old");
      program.write(std::string("packages/tmp/") + name, "new");
    }
    if (!in_use) {
      fs::remove(program / "packages/tmp/sub/b.txt");
    }
    program.write("packages/tmp/zantho.exe", "new launcher");
    program.write(kList, R"({"files":[["zantho.exe",12,0,0],["a.txt",3,0,0],["sub/b.txt",3,0,0],["c.txt",3,0,0]]})");
    slots_.clear();

    {
      InUse guard(in_use ? "/sub/b.txt" : nullptr);
      EXPECT_EQ(copy_phase(), 13);
    }
    EXPECT_EQ(program.read("zantho.exe"), "running launcher");
    EXPECT_FALSE(fs::exists(program / "zantho.old.exe"));
    EXPECT_EQ(program.read("a.txt"), "new");
    // The installed file is never lost to a staged one that is missing or cannot be put in its place.
    EXPECT_EQ(program.read("sub/b.txt"), "old");
    EXPECT_EQ(program.read("c.txt"), "old");
    EXPECT_FALSE(fs::exists(program / "sub/b.txt.zantho-tmp"));
    EXPECT_FALSE(fs::exists(program / "zantho.exe.zantho-tmp"));
    EXPECT_EQ(program.read("packages/tmp/c.txt"), "new");
    EXPECT_TRUE(SlotRecorder::progress_calls().empty());
  }
}

TEST_F(CopyPhaseTest, LeftoversOfAKilledCopyAreReplacedAndCleanedUp) {
  // A kill left the moved launcher, the stand-in's temporary and a cut temporary beside a destination.
  dir_.write("zantho.old.exe", "killed launcher");
  dir_.write("zantho.exe.zantho-tmp", "killed launcher");
  dir_.write("bin/x.dll", "old x");
  dir_.write("bin/x.dll.zantho-tmp", "cut");
  write_list({{"bin", -1}, {"bin/x.dll", 5}, {"zantho.exe", 12}});
  stage("bin/x.dll", "new x");
  stage("zantho.exe", "new launcher");

  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(list_tree(dir_.path()),
            (std::vector<std::string>{"bin", "bin/x.dll", "packages", kList, "zantho.exe"}));
  EXPECT_EQ(dir_.read("bin/x.dll"), "new x");
  EXPECT_EQ(dir_.read("zantho.exe"), "new launcher");
}

TEST_F(CopyPhaseTest, DestinationThatCannotBeReplacedKeepsItsFile) {
  write_list({{"a.txt", 1}, {"ro.txt", 1}});
  stage("a.txt", "a");
  stage("ro.txt", "r");
  dir_.write("ro.txt", "read-only");
  fs::permissions(dir_ / "ro.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  EXPECT_EQ(run_copy(nullptr), 13);
  EXPECT_EQ(dir_.read("ro.txt"), "read-only");
  EXPECT_FALSE(fs::exists(dir_ / "ro.txt.zantho-tmp"));
  EXPECT_EQ(dir_.read("a.txt"), "a");
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
  EXPECT_FALSE(fs::exists(dir_ / "zantho.old.exe"));
}

TEST_F(CopyPhaseTest, FileListedBeforeItsMissingDirectoryFails) {
  write_list({{"d/f.txt", 1}, {"d", -1}});
  stage("d/f.txt", "f");

  EXPECT_EQ(run_copy(nullptr), 13);
  EXPECT_FALSE(fs::exists(dir_ / "d/f.txt"));
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
}

TEST_F(CopyPhaseTest, ListThatCannotBeUsedChangesNothing) {
  const std::vector<std::pair<const char*, const char*>> lists = {
      {"missing", nullptr},
      {"not JSON", "{\"files\":[["},
      {"root an array", "[[\"a.txt\",1,0,0]]"},
      {"no files", "{\"checksum\":\"\"}"},
      {"files not an array", "{\"files\":{\"a.txt\":1}}"},
      {"entry not an array", "{\"files\":[[\"a.txt\",1,0,0],\"b.txt\"]}"},
      {"entry too short", "{\"files\":[[\"a.txt\",1,0,0],[\"b.txt\",1]]}"},
      {"path not a string", "{\"files\":[[\"a.txt\",1,0,0],[7,1,0,0]]}"},
      {"size not an integer", "{\"files\":[[\"a.txt\",1,0,0],[\"b.txt\",1.5,0,0]]}"},
      {"parent component", "{\"files\":[[\"a.txt\",1,0,0],[\"../b.txt\",1,0,0]]}"},
      {"parent component, backslash", "{\"files\":[[\"a.txt\",1,0,0],[\"bin\\\\..\\\\..\\\\b.txt\",1,0,0]]}"},
      {"absolute", "{\"files\":[[\"a.txt\",1,0,0],[\"/b.txt\",1,0,0]]}"},
      {"drive letter", "{\"files\":[[\"a.txt\",1,0,0],[\"C:b.txt\",1,0,0]]}"},
      {"leading backslashes", "{\"files\":[[\"a.txt\",1,0,0],[\"\\\\\\\\server\\\\b.txt\",1,0,0]]}"},
  };
  stage("a.txt", "new");
  stage("b.txt", "new");
  for (const auto& [what, text] : lists) {
    SCOPED_TRACE(what);
    fs::remove(dir_ / kList);
    if (text != nullptr) {
      dir_.write(kList, text);
    }
    dir_.write("a.txt", "old");

    std::string console;
    EXPECT_EQ(run_copy(&console), 13);
    EXPECT_EQ(console, "");
    EXPECT_EQ(dir_.read("a.txt"), "old");
    EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
    EXPECT_FALSE(fs::exists(dir_ / "zantho.old.exe"));
    EXPECT_TRUE(fs::exists(dir_ / "packages/tmp/b.txt"));
  }
}

TEST_F(CopyPhaseTest, RetryAfterStagingCouldNotBeRemovedCopiesAgain) {
  write_list({{"zantho.exe", 12}, {"a.txt", 1}});
  stage("zantho.exe", "new launcher");
  stage("a.txt", "a");
  stage("locked/keep.txt", "k");

  {
    InUse guard("/packages/tmp/locked/keep.txt");
    EXPECT_EQ(run_copy(nullptr), 13);
  }
  EXPECT_EQ(SlotRecorder::progress_calls(), (Progress{{1, 1}}));
  EXPECT_EQ(dir_.read("zantho.exe"), "new launcher");
  EXPECT_EQ(dir_.read("packages/tmp/zantho.exe"), "new launcher");

  // The state the retry meets where the running image cannot be removed and the staged files are still all there.
  dir_.write("zantho.old.exe", "running launcher");
  stage("zantho.exe", "new launcher");
  stage("a.txt", "a");
  {
    InUse guard("zantho.old.exe");
    EXPECT_EQ(run_copy(nullptr), 0);
  }
  EXPECT_EQ(dir_.read("zantho.exe"), "new launcher");
  EXPECT_EQ(dir_.read("zantho.old.exe"), "running launcher");
  EXPECT_EQ(dir_.read("a.txt"), "a");
  EXPECT_FALSE(fs::exists(dir_ / "packages/tmp"));
}

}  // namespace
