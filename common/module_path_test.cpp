#include "common/module_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "tests/support/probe_runner.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(ModulePathTest, AllThreeFormsNameThisProgram) {
  fs::path program = build_dir() / "common/common_tests";
  if (!fs::exists(program)) {
    program.replace_extension(".exe");  // as Windows names programs
  }
  std::string expected = fs::canonical(program).string();
  char utf8[778];
  std::memset(utf8, 'X', sizeof utf8);
  EXPECT_EQ(get_module_path_utf8(utf8), 0);
  EXPECT_EQ(std::string(utf8), expected);
  EXPECT_EQ(get_exe_path_utf8(utf8), 0);
  EXPECT_EQ(std::string(utf8), expected);

  char16_t wide[1024];
  int32_t length = -1;
  EXPECT_EQ(get_module_path_wide(wide, &length), 0);
  EXPECT_EQ(length, static_cast<int32_t>(std::char_traits<char16_t>::length(wide)));
  EXPECT_EQ(to_utf8(wide), expected);
  EXPECT_EQ(get_module_path_whole(), expected);
}

TEST(ModulePathTest, NonAsciiProgramDirectoryComesBackAsUtf8) {
  ScratchDir scratch;
  // From UTF-8 explicitly: a narrow path string is in the ANSI code page on Windows.
  auto from_utf8 = [](const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); };
  fs::path dir = scratch.path() / from_utf8("榛禾游戏");
  fs::create_directory(dir);
  fs::copy_file(probe_program(), dir / "zantho.exe");
  std::string report = (scratch / "report").string();
  ASSERT_EQ(run_probe_at(dir / "zantho.exe", {"module-path", report}), 0);
  std::string path = wait_for_report(report, 5000).result;
  EXPECT_EQ(path, utf8_path(fs::canonical(dir) / "zantho.exe"));
  EXPECT_GT(path.size(), from_utf8(path).u16string().size());
  EXPECT_EQ(from_utf8(path).parent_path(), fs::canonical(dir));
}

}  // namespace
