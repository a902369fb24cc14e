// What the POSIX layer emulates of Windows' path rules, and how it lists links; Windows has these itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

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

TEST(LinkListingTest, ALinkIsListedAsItselfNeverAsTheDirectoryItPointsTo) {
  ScratchDir scratch;
  fs::create_directory(scratch / "sub");
  fs::create_directory_symlink(scratch / "sub", scratch / "link");
  std::string pattern = (scratch / "link").string();
  platform::FindData data;
  platform::Handle handle = platform::find_first_file(pattern.c_str(), &data);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(data.name, "link");
  EXPECT_EQ(data.attributes, platform::FILE_ATTRIBUTE_NORMAL);
  platform::find_close(handle);
}

}  // namespace
