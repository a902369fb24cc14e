// What the file layer does here beyond what every platform shares: a user who is not root (the suite may run as
// root, which may write anywhere, so those cases run in a child that has given up root first), the copy, links,
// and the Windows path rules it emulates (Windows has those itself).
#include "platform/files.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Runs the steps in a child as an unprivileged user; 0 when every step held, else the number of the first that
// did not.
int run_unprivileged(const std::vector<std::function<bool()>>& steps) {
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(100);
    }
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!steps[i]()) {
        _exit(static_cast<int>(i + 1));
      }
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

mode_t mode_of(const fs::path& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(FilesPosixTest, ReadOnlyDirectoriesDoNotProtectTheirEntriesFromAnyUser) {
  ScratchDir scratch;
  fs::path world = scratch / "world";
  fs::create_directory(world);
  fs::permissions(scratch.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(world, fs::perms::all);
  fs::path tree = world / "tree";
  fs::path ro = tree / "ro";
  std::string file = (ro / "file").string();
  std::string sub = (ro / "sub").string();
  std::string ro_text = ro.string();
  int failed = run_unprivileged({
      [&] {
        FILE* made = fs::create_directories(ro / "sub") ? std::fopen(file.c_str(), "w") : nullptr;
        return made != nullptr && std::fclose(made) == 0;
      },
      [&] {
        return platform::set_file_attributes(sub.c_str(), platform::FILE_ATTRIBUTE_READONLY) &&
               platform::set_file_attributes(ro_text.c_str(), platform::FILE_ATTRIBUTE_READONLY);
      },
      [&] { return platform::delete_file(file.c_str()) && !fs::exists(file); },
      [&] { return mode_of(ro) == 0555; },  // the attribute is kept
      // A directory keeps its own attribute: it goes once that is reset, also from a read-only parent.
      [&] {
        return !platform::remove_directory(sub.c_str()) && platform::last_error() == platform::ERROR_ACCESS_DENIED;
      },
      [&] { return platform::set_file_attributes(sub.c_str(), platform::FILE_ATTRIBUTE_NORMAL); },
      [&] { return platform::remove_directory(sub.c_str()) && !fs::exists(sub); },
      [&] { return platform::set_file_attributes(ro_text.c_str(), platform::FILE_ATTRIBUTE_NORMAL); },
      [&] { return platform::remove_directory(ro_text.c_str()) && !fs::exists(ro); },
  });
  EXPECT_EQ(failed, 0);
}

// Copies between two paths through copy_stream; the streams are closed again.
bool copy(const std::string& from, const std::string& to) {
  FILE* source = platform::open_stream(from.c_str(), "rb");
  FILE* destination = platform::open_stream(to.c_str(), "wb");
  EXPECT_NE(source, nullptr) << from;
  EXPECT_NE(destination, nullptr) << to;
  if (source == nullptr || destination == nullptr) {
    return false;
  }
  bool copied = platform::copy_stream(source, destination);
  std::fclose(source);
  return std::fclose(destination) == 0 && copied;
}

TEST(CopyStreamTest, KernelCopyAndTheLoopOfAnotherFileSystemGiveTheSameBytes) {
  ScratchDir scratch;
  std::string content = random_bytes(5 * 65536 + 17, 8);
  scratch.write("source", content);
  EXPECT_TRUE(copy((scratch / "source").string(), (scratch / "same-fs").string()));
  EXPECT_EQ(scratch.read("same-fs"), content);

  // /dev/shm is another file system: the kernel refuses, the loop copies.
  if (fs::is_directory("/dev/shm")) {
    fs::path other = fs::path("/dev/shm") / fs::path(scratch.path()).filename();
    EXPECT_TRUE(copy((scratch / "source").string(), other.string()));
    EXPECT_TRUE(copy(other.string(), (scratch / "back").string()));
    fs::remove(other);
    EXPECT_EQ(scratch.read("back"), content);
  }
}

TEST(CopyStreamTest, ReadErrorIsNoCompleteCopy) {
  ScratchDir scratch;
  // Reading this process's memory at offset 0 fails at once (nothing is mapped there).
  EXPECT_FALSE(copy("/proc/self/mem", (scratch / "copy").string()));
}

TEST(CopyStreamTest, FullDiskSeamStopsTheCopyAsAShortWrite) {
  ScratchDir scratch;
  std::string content = random_bytes(200000, 9);
  scratch.write("source", content);
  platform::set_disk_full_path_suffix("/full", 70000);
  EXPECT_FALSE(copy((scratch / "source").string(), (scratch / "full").string()));
  platform::set_disk_full_path_suffix(nullptr, 0);
  EXPECT_EQ(scratch.read("full"), content.substr(0, 70000));
}

TEST(CopyStreamTest, FullDiskWithNoRoomFailsTheFirstWrite) {
  ScratchDir scratch;
  platform::set_disk_full_path_suffix("/full", 0);
  FILE* stream = platform::open_stream((scratch / "full").c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  std::setvbuf(stream, nullptr, _IONBF, 0);
  EXPECT_EQ(std::fwrite("abc", 1, 3, stream), 0u);
  EXPECT_EQ(errno, ENOSPC);
  std::fclose(stream);
  platform::set_disk_full_path_suffix(nullptr, 0);
  EXPECT_EQ(scratch.read("full"), "");
}

TEST(OpenStreamTest, EveryFileWrittenCanBeRun) {
  ScratchDir scratch;
  // One made here, and one that a killed run made without the execute bits.
  scratch.write("left.exe", "x");
  fs::permissions(scratch / "left.exe", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  for (const char* name : {"new.exe", "left.exe"}) {
    FILE* stream = platform::open_stream((scratch / name).c_str(), "wb");
    ASSERT_NE(stream, nullptr) << name;
    std::fclose(stream);
    fs::perms perms = fs::status(scratch / name).permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << name;
    EXPECT_NE(perms & fs::perms::group_exec, fs::perms::none) << name;
  }
}

TEST(NativePathTest, WindowsFormsBecomeThisSystemsPath) {
  struct {
    const char* given;
    const char* native;
  } cases[] = {
      {"\\\\?\\\\tmp\\dir\\packages\\tmp", "/tmp/dir/packages/tmp"},
      {"\\\\?\\/tmp/dir\\a/b", "/tmp/dir/a/b"},
      {"packages\\tmp/x.zip", "packages/tmp/x.zip"},
      {"\\\\?\\\\\\rel", "//rel"},  // a current directory at the root keeps both separators
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::native_path(c.given), c.native) << c.given;
  }
}

// A link is listed as itself, a reparse point, as Windows lists a link to a directory, and goes as a link.
TEST(LinkTest, ALinkIsAReparsePointAndIsRemovedWithoutItsTarget) {
  ScratchDir scratch;
  scratch.enter();
  scratch.write("d/a.txt", "12345");
  fs::create_directory(scratch / "d/sub");
  fs::create_directory_symlink(scratch / "d/sub", scratch / "d/link");
  const uint32_t kDirLink = platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_REPARSE_POINT;
  platform::FindData data;
  platform::Handle handle = platform::find_first_file("d/link", &data);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(data.name, "link");
  EXPECT_EQ(data.attributes, kDirLink);
  platform::find_close(handle);
  EXPECT_EQ(platform::get_file_attributes("d/link"), kDirLink);
  fs::create_symlink(scratch / "d/a.txt", scratch / "d/file-link");
  EXPECT_EQ(platform::get_file_attributes("d/file-link"), platform::FILE_ATTRIBUTE_REPARSE_POINT);
  // Removing the link as a directory leaves its target.
  EXPECT_TRUE(platform::remove_directory("d/link"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "d/link")));
  EXPECT_TRUE(fs::is_directory(scratch / "d/sub"));
  EXPECT_FALSE(platform::remove_directory("d/file-link"));
}

}  // namespace
