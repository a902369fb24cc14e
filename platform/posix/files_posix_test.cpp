#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_data.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace
