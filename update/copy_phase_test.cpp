#include "update/copy_phase.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/crc32.h"
#include "launcher/update_settings.h"
#include "platform/files.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"
#include "update/install_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kList = "packages/quembra_client_win32_installed.json";

uint32_t crc_of(const std::string& content) {
  return ~crc32_update(0xFFFFFFFF, reinterpret_cast<const unsigned char*>(content.data()),
                       static_cast<uint32_t>(content.size()));
}

std::string file_entry(const std::string& path, const std::string& content) {
  return "[\"" + path + "\"," + std::to_string(content.size()) + ",0," + std::to_string(crc_of(content)) + "]";
}

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

  // entries: path and size; -1 for a directory. A file's CRC-32 is its staged file's when there is one.
  void write_list(const std::vector<std::pair<std::string, int64_t>>& entries) {
    std::string files;
    for (const auto& [path, size] : entries) {
      fs::path staged = dir_ / ("packages/tmp/" + path);
      uint32_t crc = size >= 0 && fs::is_regular_file(staged) ? crc_of(dir_.read("packages/tmp/" + path)) : 0;
      files += (files.empty() ? "[\"" : ",[\"") + path + "\"," + std::to_string(size) + ",0," + std::to_string(crc) +
               "]";
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

// The launcher's entry in another case names the same file on Windows: the running launcher's.
TEST_F(CopyPhaseTest, ExecutableReplacedUnlessPrecheckIs2) {
  struct Case {
    int32_t precheck;
    const char* entry;
    const char* executable_after;
  };
  for (const Case& c : {Case{1, "zantho.exe", "new launcher"}, Case{1, "Zantho.exe", "new launcher"},
                        Case{2, "zantho.exe", "running launcher"}, Case{2, "Zantho.EXE", "running launcher"}}) {
    SCOPED_TRACE(std::to_string(c.precheck) + " " + c.entry);
    ScratchDir program;
    program.enter();
    g_settings.precheck = c.precheck;
    program.write("zantho.exe", "running launcher");
    program.write("zantho.old.exe", "left from an earlier copy");
    program.write("a.txt", "old a");
    program.write(std::string("packages/tmp/") + c.entry, "new launcher");
    program.write("packages/tmp/a.txt", "new a");
    program.write(kList, "{\"files\":[" + file_entry(c.entry, "new launcher") + "," + file_entry("a.txt", "new a") +
                             "]}");

    EXPECT_EQ(copy_phase(), 0);
    EXPECT_EQ(list_tree(program.path()), (std::vector<std::string>{"a.txt", "packages", kList, "zantho.exe"}));
    EXPECT_EQ(program.read("zantho.exe"), c.executable_after);
    EXPECT_EQ(program.read("a.txt"), "new a");
  }
}

// With precheck 2 the listed launcher is not put in place at all, so nothing of it counts: a kill cannot leave it.
TEST_F(CopyPhaseTest, PrecheckTwoNeitherMovesNorNeedsTheListedLauncher) {
  g_settings.precheck = 2;
  dir_.write("a.txt", "old a");
  stage("a.txt", "new a");
  // No staged launcher: its entry is passed over.
  write_list({{"zantho.exe", 12}, {"a.txt", 5}});

  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
  EXPECT_EQ(dir_.read("a.txt"), "new a");
  EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"a.txt", "packages", kList, "zantho.exe"}));
}

// The staged launcher replaces the running one only when it is the file the list names, whatever brought another.
TEST_F(CopyPhaseTest, StagedLauncherThatIsNotTheListedOneFailsBeforeAnythingMoves) {
  struct Case {
    const char* what;
    std::string staged;
  };
  const std::string listed = "new launcher";
  for (const Case& c : {Case{"other bytes, same size", "bad launcher"}, Case{"cut short", "new launc"},
                        Case{"longer", "new launcher and more"}}) {
    SCOPED_TRACE(c.what);
    dir_.write("zantho.exe", "running launcher");
    dir_.write("a.txt", "old a");
    stage("a.txt", "new a");
    stage("zantho.exe", c.staged);
    dir_.write(kList, "{\"files\":[" + file_entry("a.txt", "new a") + "," + file_entry("zantho.exe", listed) + "]}");

    std::string console;
    EXPECT_EQ(run_copy(&console), 13);
    EXPECT_EQ(console, "");
    EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
    EXPECT_EQ(dir_.read("a.txt"), "old a");
    EXPECT_EQ(list_tree(dir_.path()),
              (std::vector<std::string>{"a.txt", "packages", kList, "packages/tmp", "packages/tmp/a.txt",
                                        "packages/tmp/zantho.exe", "zantho.exe"}));
  }
}

// A file a running program holds as its image (the client's service program while the service runs) cannot be
// replaced, but its name can move: it goes aside, the new file takes its place, and a later copy removes it.
TEST_F(CopyPhaseTest, FileHeldByARunningProgramIsMovedAsideAndReplaced) {
  const std::string program_name = "bin/service" + program_suffix();
  const std::string aside = program_name + ".zantho-old";
  const std::string old_program = [] {
    std::ifstream in(probe_program(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  ASSERT_FALSE(old_program.empty());
  fs::create_directories(dir_ / "bin");
  fs::copy_file(probe_program(), dir_ / program_name);
  dir_.write("data.txt", "old data");
  auto stage_all = [&] {
    stage(program_name, "new program");
    stage("data.txt", "new data");
    write_list({{"bin", -1}, {program_name, 11}, {"data.txt", 8}});
  };
  ProbeReport running =
      start_probe_at(dir_ / program_name, {"event", "zantho copy test", utf8_path(dir_ / "probe.report"), "60000"},
                     dir_ / "probe.report");
  ASSERT_NE(running.process_id, 0u);
  fs::remove(dir_ / "probe.report");

  // The name cannot move either: the copy fails as for any file in use, and nothing is lost.
  stage_all();
  {
    InUse guard(aside.c_str());
    EXPECT_EQ(run_copy(nullptr), 13);
  }
  EXPECT_EQ(dir_.read(program_name), old_program);
  EXPECT_EQ(dir_.read("data.txt"), "old data");
  EXPECT_FALSE(fs::exists(dir_ / (program_name + ".zantho-tmp")));

  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(dir_.read(program_name), "new program");
  EXPECT_EQ(dir_.read(aside), old_program);
  EXPECT_EQ(dir_.read("data.txt"), "new data");
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");

  // Still held, it stays through the next copy; once nothing holds it, the next copy removes it.
  stage_all();
  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(dir_.read(aside), old_program);
  ASSERT_TRUE(running.process->kill());
  stage_all();
  EXPECT_EQ(run_copy(nullptr), 0);
  EXPECT_EQ(list_tree(dir_.path()), (std::vector<std::string>{"bin", program_name, "data.txt", "packages", kList,
                                                               "zantho.exe"}));
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
    program.write(kList, "{\"files\":[" + file_entry("zantho.exe", "new launcher") + "," + file_entry("a.txt", "new") +
                             "," + file_entry("sub/b.txt", "new") + "," + file_entry("c.txt", "new") + "]}");
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

TEST_F(CopyPhaseTest, ListedLauncherMissingFromStagingFailsAtItsEntry) {
  dir_.write("a.txt", "old a");
  dir_.write("b.txt", "old b");
  write_list({{"a.txt", 5}, {"zantho.exe", 12}, {"b.txt", 5}});
  stage("a.txt", "new a");
  stage("b.txt", "new b");

  std::string console;
  EXPECT_EQ(run_copy(&console), 13);
  EXPECT_EQ(console, "destf : a.txt\ndestf : zantho.exe\n");
  EXPECT_EQ(dir_.read("a.txt"), "new a");
  EXPECT_EQ(dir_.read("b.txt"), "old b");
  EXPECT_EQ(list_tree(dir_.path()),
            (std::vector<std::string>{"a.txt", "b.txt", "packages", kList, "packages/tmp", "packages/tmp/a.txt",
                                      "packages/tmp/b.txt", "zantho.exe"}));
  EXPECT_EQ(dir_.read("zantho.exe"), "running launcher");
}

TEST_F(CopyPhaseTest, LeftoversOfAKilledCopyAreReplacedAndCleanedUp) {
  // A kill left the moved launcher, the stand-in's temporary and a cut temporary beside a destination.
  dir_.write("zantho.old.exe", "killed launcher");
  dir_.write("zantho.exe.zantho-tmp", "killed launcher");
  dir_.write("bin/x.dll", "old x");
  dir_.write("bin/x.dll.zantho-tmp", "cut");
  stage("bin/x.dll", "new x");
  stage("zantho.exe", "new launcher");
  write_list({{"bin", -1}, {"bin/x.dll", 5}, {"zantho.exe", 12}});

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
      {"one file in two cases", "{\"files\":[[\"a.txt\",1,0,0],[\"A.TXT\",1,0,0]]}"},
      {"one file by two separators", "{\"files\":[[\"d\",-1,0,0],[\"d/b.txt\",1,0,0],[\"D\\\\b.txt\",1,0,0]]}"},
      {"inside packages", "{\"files\":[[\"a.txt\",1,0,0],[\"packages/b.txt\",1,0,0]]}"},
      {"inside logs", "{\"files\":[[\"a.txt\",1,0,0],[\"Logs\\\\update\",1,0,0]]}"},
      {"trailing space", "{\"files\":[[\"a.txt\",1,0,0],[\"Data /b.txt\",1,0,0]]}"},
      {"trailing dot", "{\"files\":[[\"a.txt\",1,0,0],[\"v1.0.\",1,0,0]]}"},
      {"device name", "{\"files\":[[\"a.txt\",1,0,0],[\"aux.lua\",1,0,0]]}"},
      {"stream", "{\"files\":[[\"a.txt\",1,0,0],[\"b.txt::$DATA\",1,0,0]]}"},
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
  stage("zantho.exe", "new launcher");
  stage("a.txt", "a");
  stage("locked/keep.txt", "k");
  write_list({{"zantho.exe", 12}, {"a.txt", 1}});

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
