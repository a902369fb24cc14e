#include "platform/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/errors.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.enter(); }
  void TearDown() override { platform::set_denied_path_suffix(nullptr); }

  static constexpr uint32_t kTested = platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_READONLY;

  // The names a search yields, with their attributes.
  static std::set<std::pair<std::string, uint32_t>> search(const char* pattern) {
    std::set<std::pair<std::string, uint32_t>> found;
    platform::FindData data;
    platform::Handle handle = platform::find_first_file(pattern, &data);
    if (handle == nullptr) {
      return found;
    }
    // Only the bits the launcher looks at; Windows adds others (archive) of its own.
    do {
      found.insert({data.name, data.attributes & kTested});
    } while (platform::find_next_file(handle, &data));
    EXPECT_EQ(platform::last_error(), platform::ERROR_NO_MORE_FILES);
    EXPECT_TRUE(platform::find_close(handle));
    return found;
  }

  ScratchDir scratch_;
};

TEST_F(FilesTest, RenameNeverReplacesAnExistingEntry) {
  scratch_.write("old", "old");
  scratch_.write("new", "new");
  errno = 0;
  EXPECT_EQ(platform::rename_path("old", "new"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(scratch_.read("old"), "old");
  EXPECT_EQ(scratch_.read("new"), "new");
  EXPECT_EQ(platform::rename_path("old", "missing\\other"), -1);  // no such directory
  EXPECT_EQ(platform::rename_path("old", "other"), 0);
  EXPECT_EQ(scratch_.read("other"), "old");
  EXPECT_FALSE(fs::exists(scratch_ / "old"));
}

TEST_F(FilesTest, ReplacingMoveReplacesFilesButNotWhatWindowsKeeps) {
  scratch_.write("new", "new");
  scratch_.write("old", "old");
  EXPECT_TRUE(platform::move_file_replacing("new", "old"));
  EXPECT_EQ(scratch_.read("old"), "new");
  EXPECT_FALSE(fs::exists(scratch_ / "new"));

  EXPECT_FALSE(platform::move_file_replacing("new", "old"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_FILE_NOT_FOUND);

  scratch_.write("read-only", "kept");
  ASSERT_TRUE(platform::set_file_attributes("read-only", platform::FILE_ATTRIBUTE_READONLY));
  fs::create_directory(scratch_ / "dir");
  for (const char* destination : {"read-only", "dir", "locked.dll"}) {
    SCOPED_TRACE(destination);
    scratch_.write("locked.dll", "kept");
    platform::set_denied_path_suffix("locked.dll");
    EXPECT_FALSE(platform::move_file_replacing("old", destination));
    EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
    platform::set_denied_path_suffix(nullptr);
    EXPECT_EQ(scratch_.read("old"), "new");
  }
  EXPECT_EQ(scratch_.read("read-only"), "kept");
  EXPECT_TRUE(fs::is_directory(scratch_ / "dir"));
}

TEST_F(FilesTest, CopyReplacingPutsAWholeCopyInPlaceOrLeavesTheDestinationAsItWas) {
  scratch_.write("source", "new bytes");
  scratch_.write("destination", "old");
  scratch_.write("destination.tmp", "left by a killed copy");
  EXPECT_TRUE(platform::copy_file_replacing("source", "destination.tmp", "destination", false));
  EXPECT_EQ(scratch_.read("destination"), "new bytes");
  EXPECT_EQ(scratch_.read("source"), "new bytes");
  EXPECT_FALSE(fs::exists(scratch_ / "destination.tmp"));
  scratch_.write("empty", "");
  fs::create_directory(scratch_ / "sub");
  EXPECT_TRUE(platform::copy_file_replacing("empty", "sub\\fresh.tmp", "sub/fresh", true));
  EXPECT_EQ(scratch_.read("sub/fresh"), "");
  EXPECT_FALSE(fs::exists(scratch_ / "sub/fresh.tmp"));

  scratch_.write("destination", "old");
  scratch_.write("read-only", "kept");
  ASSERT_TRUE(platform::set_file_attributes("read-only", platform::FILE_ATTRIBUTE_READONLY));
  fs::create_directory(scratch_ / "dir");
  struct {
    const char* source;
    const char* destination;
    const char* denied;
    uint32_t error;
  } cases[] = {{"missing", "destination", nullptr, platform::ERROR_FILE_NOT_FOUND},
               {"source", "read-only", nullptr, platform::ERROR_ACCESS_DENIED},
               {"source", "dir", nullptr, platform::ERROR_ACCESS_DENIED},
               {"source", "destination", "destination", platform::ERROR_ACCESS_DENIED},
               {"source", "destination", "source", platform::ERROR_ACCESS_DENIED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + c.destination);
    platform::set_denied_path_suffix(c.denied);
    EXPECT_FALSE(platform::copy_file_replacing(c.source, "t.tmp", c.destination, false));
    EXPECT_EQ(platform::last_error(), c.error);
    platform::set_denied_path_suffix(nullptr);
    EXPECT_FALSE(fs::exists(scratch_ / "t.tmp"));
  }
  EXPECT_EQ(scratch_.read("destination"), "old");
  EXPECT_EQ(scratch_.read("read-only"), "kept");
  EXPECT_TRUE(fs::is_directory(scratch_ / "dir"));

  // A disk that fills during the copy: the destination keeps its old bytes.
  platform::set_disk_full_path_suffix("t.tmp", 3);
  errno = 0;
  EXPECT_FALSE(platform::copy_file_replacing("source", "t.tmp", "destination", true));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(platform::last_error(), platform::ERROR_DISK_FULL);
  platform::set_disk_full_path_suffix(nullptr, 0);
  EXPECT_EQ(scratch_.read("destination"), "old");
  EXPECT_FALSE(fs::exists(scratch_ / "t.tmp"));
}

// As Windows keeps the client's service program while the service runs: the name moves, the file stays.
TEST_F(FilesTest, ARunningProgramsImageMovesButIsNeitherReplacedNorDeleted) {
  const std::string program = "program" + program_suffix();
  const std::string moved = "moved" + program_suffix();
  std::ifstream in(probe_program(), std::ios::binary);
  const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(image.empty());
  fs::copy_file(probe_program(), scratch_ / program);
  ProbeReport running =
      start_probe_at(scratch_ / program, {"event", "zantho files test", utf8_path(scratch_ / "report"), "60000"},
                     scratch_ / "report");
  ASSERT_NE(running.process_id, 0u);
  scratch_.write("new", "new");

  EXPECT_FALSE(platform::move_file_replacing("new", program.c_str()));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(platform::copy_file_replacing("new", "t.tmp", program.c_str(), false));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(scratch_ / "t.tmp"));
  EXPECT_FALSE(platform::delete_file(program.c_str()));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  errno = 0;
  EXPECT_EQ(platform::remove_file(program.c_str()), -1);
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_EQ(platform::open_stream(program.c_str(), "wb"), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(scratch_.read(program), image);

  EXPECT_EQ(platform::rename_path(program.c_str(), moved.c_str()), 0);
  EXPECT_FALSE(platform::delete_file(moved.c_str()));
  EXPECT_TRUE(platform::move_file_replacing("new", program.c_str()));
  EXPECT_EQ(scratch_.read(program), "new");

  ASSERT_TRUE(running.process->kill());
  EXPECT_TRUE(platform::delete_file(moved.c_str()));
}

TEST_F(FilesTest, MoveAsideLeavesTheNameWithItsStandIn) {
  scratch_.write("zantho.exe", "running");
  scratch_.write("stand-in", "copy");
  EXPECT_TRUE(platform::move_aside_with_stand_in("zantho.exe", "zantho.old.exe", "stand-in"));
  EXPECT_EQ(scratch_.read("zantho.exe"), "copy");
  EXPECT_EQ(scratch_.read("zantho.old.exe"), "running");
  EXPECT_FALSE(fs::exists(scratch_ / "stand-in"));

  // An aside name that is taken, a missing file or stand-in, a denied name: nothing moves.
  scratch_.write("stand-in", "second copy");
  struct {
    const char* path;
    const char* stand_in;
    const char* denied;
    uint32_t error;
  } cases[] = {{"zantho.exe", "stand-in", nullptr, platform::ERROR_ALREADY_EXISTS},
               {"missing.exe", "stand-in", nullptr, platform::ERROR_FILE_NOT_FOUND},
               {"zantho.exe", "missing", nullptr, platform::ERROR_FILE_NOT_FOUND},
               {"zantho.exe", "stand-in", "stand-in", platform::ERROR_ACCESS_DENIED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.stand_in);
    fs::path aside = c.error == platform::ERROR_ALREADY_EXISTS ? "zantho.old.exe" : "other.old.exe";
    platform::set_denied_path_suffix(c.denied);
    EXPECT_FALSE(platform::move_aside_with_stand_in(c.path, aside.string().c_str(), c.stand_in));
    EXPECT_EQ(platform::last_error(), c.error);
    platform::set_denied_path_suffix(nullptr);
    EXPECT_EQ(scratch_.read("zantho.exe"), "copy");
    EXPECT_EQ(scratch_.read("zantho.old.exe"), "running");
    EXPECT_EQ(scratch_.read("stand-in"), "second copy");
    EXPECT_FALSE(fs::exists(scratch_ / "other.old.exe"));
  }
}

TEST_F(FilesTest, FlushOfFilesOnly) {
  scratch_.write("data", "bytes");
  EXPECT_TRUE(platform::flush_file("data"));
  EXPECT_EQ(scratch_.read("data"), "bytes");
  EXPECT_FALSE(platform::flush_file("missing"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_FILE_NOT_FOUND);
  fs::create_directory(scratch_ / "dir");
  EXPECT_FALSE(platform::flush_file("dir"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  platform::set_denied_path_suffix("data");
  EXPECT_FALSE(platform::flush_file("data"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, SearchListsEntriesWithAttributesAndSizes) {
  scratch_.write("d/a.txt", "12345");
  scratch_.write("d/b.bin", "");
  scratch_.write("d/[x].txt", "1");
  fs::create_directory(scratch_ / "d/sub");
  using Found = std::set<std::pair<std::string, uint32_t>>;
  const uint32_t kDir = platform::FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(search("d\\*"),
            (Found{{".", kDir}, {"..", kDir}, {"a.txt", 0}, {"b.bin", 0}, {"[x].txt", 0}, {"sub", kDir}}));
  EXPECT_EQ(search("d/*.txt"), (Found{{"a.txt", 0}, {"[x].txt", 0}}));
  EXPECT_EQ(search("d/[x].txt"), (Found{{"[x].txt", 0}}));
  EXPECT_EQ(search("d/?.bin"), (Found{{"b.bin", 0}}));

  platform::FindData data;
  platform::Handle handle = platform::find_first_file("d/a.txt", &data);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(data.size, 5u);
  EXPECT_FALSE(platform::find_next_file(handle, &data));
  EXPECT_EQ(platform::last_error(), platform::ERROR_NO_MORE_FILES);
  platform::find_close(handle);

  EXPECT_EQ(platform::find_first_file("d/*.zip", &data), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::find_first_file("missing\\*", &data), nullptr);
  EXPECT_EQ(platform::last_error(), platform::ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, ReadOnlyFilesAreNeitherDeletedNorOpenedForWritingUntilTheAttributeIsReset) {
  scratch_.write("ro", "keep");
  ASSERT_TRUE(platform::set_file_attributes("ro", platform::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(platform::get_file_attributes("ro") & kTested, platform::FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(platform::delete_file("ro"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::remove_file("ro"), -1);
  EXPECT_EQ(platform::open_stream("ro", "wb"), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(scratch_.read("ro"), "keep");

  ASSERT_TRUE(platform::set_file_attributes("ro", platform::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(platform::get_file_attributes("ro") & kTested, 0u);
  EXPECT_TRUE(platform::delete_file("ro"));
  EXPECT_FALSE(fs::exists(scratch_ / "ro"));
}

TEST_F(FilesTest, DirectoriesAreNotFilesToOpenOrDelete) {
  fs::create_directory(scratch_ / "dir");
  scratch_.write("full/x", "");
  EXPECT_EQ(platform::open_stream("dir", "r"), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_FALSE(platform::delete_file("dir"));
  EXPECT_EQ(platform::remove_file("dir"), -1);
  EXPECT_FALSE(platform::remove_directory("full"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(platform::make_directory("dir"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(platform::remove_directory("dir\\"));
  EXPECT_FALSE(fs::exists(scratch_ / "dir"));
}

TEST_F(FilesTest, DeniedSuffixMakesEveryChangeFailAsAccessDenied) {
  scratch_.write("locked.dll", "x");
  platform::set_denied_path_suffix("\\locked.dll");
  EXPECT_EQ(platform::open_stream("sub/../locked.dll", "rb"), nullptr);
  EXPECT_EQ(errno, EACCES);
  EXPECT_FALSE(platform::delete_file("./locked.dll"));
  EXPECT_EQ(platform::last_error(), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::rename_path("./locked.dll", "free.dll"), -1);
  platform::set_denied_path_suffix(nullptr);
  EXPECT_TRUE(platform::delete_file("./locked.dll"));
}

TEST_F(FilesTest, CurrentDirectoryInUtf16RoundTripsNonAsciiNames) {
  // The narrow form is in the system's ANSI code page, so it is checked on the scratch directory's plain name.
  char narrow[4096];
  ASSERT_NE(platform::get_current_directory(narrow, sizeof narrow), nullptr);
  EXPECT_EQ(fs::path(narrow), fs::canonical(scratch_.path()));
  EXPECT_EQ(platform::get_current_directory(narrow, 3), nullptr);
  EXPECT_EQ(errno, ERANGE);

  fs::create_directory(scratch_.path() / fs::path(u"榛禾"));
  ASSERT_TRUE(platform::set_current_directory_w(u"榛禾"));
  char16_t wide[4096];
  uint32_t length = platform::get_current_directory_w(wide, 4096);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(std::u16string(wide).substr(length - 2), u"榛禾");
  EXPECT_TRUE(wide[length - 3] == u'/' || wide[length - 3] == u'\\');
  EXPECT_EQ(platform::get_current_directory_w(wide, 2), length + 1);  // too small: the size needed
}

}  // namespace
