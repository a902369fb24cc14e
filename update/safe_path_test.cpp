#include "update/safe_path.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
  const char* path;
  bool safe;
};

std::ostream& operator<<(std::ostream& out, const PathCase& c) { return out << c.path; }


class SafePathTest : public testing::TestWithParam<PathCase> {};

TEST_P(SafePathTest, RefusesNamesThatLeaveTheDirectory) {
  EXPECT_EQ(is_safe_relative_path(GetParam().path), GetParam().safe) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Names, SafePathTest,
    testing::Values(PathCase{"a.zip", true}, PathCase{"bin/quillon.dll", true}, PathCase{"bin\\x\\y.txt", true},
                    PathCase{"dir/", true}, PathCase{"..a/b..", false}, PathCase{"a/.../b", false},
                    PathCase{"./a", true}, PathCase{"", false}, PathCase{"/etc/passwd", false},
                    PathCase{"\\Windows\\x", false}, PathCase{"\\\\?\\C:\\x", false}, PathCase{"C:x", false},
                    PathCase{"c:\\x", false}, PathCase{"..", false}, PathCase{"../a", false},
                    PathCase{"..\\a", false}, PathCase{"a/../../b", false}, PathCase{"a\\..", false},
                    PathCase{"a/..\\b", false}));

// Names that the long path form would create literally on Windows, where nothing else can open or delete them.
INSTANTIATE_TEST_SUITE_P(
    WindowsNames, SafePathTest,
    testing::Values(PathCase{"Data /x", false}, PathCase{"v1.0.", false}, PathCase{"v1.0./x.txt", false},
                    PathCase{"x.", false}, PathCase{"a/b ", false}, PathCase{"aux.lua", false},
                    PathCase{"con.txt", false}, PathCase{"NUL", false}, PathCase{"dir/Com1.dat", false},
                    PathCase{"lpt9", false}, PathCase{"nul .txt", false}, PathCase{"COM\xC2\xB9", false},
                    PathCase{"conout$", false}, PathCase{"a:b", false}, PathCase{"x::$DATA", false},
                    PathCase{"a/b:c/d", false}, PathCase{"a?b", false}, PathCase{"a*", false},
                    PathCase{"a<b>", false}, PathCase{"a|b", false}, PathCase{"a\"b", false},
                    PathCase{"a\tb", false}, PathCase{"con/", false}, PathCase{"console.txt", true},
                    PathCase{"com10", true}, PathCase{"auxiliary/x", true}, PathCase{"lpt", true},
                    PathCase{".hidden", true}, PathCase{"a.b.c", true}, PathCase{" lead", true},
                    PathCase{"\xE6\xB8\xB8\xE6\x88\x8F/x", true}));

struct KeyCase {
  const char* a;
  const char* b;
  bool same;
};

TEST(WindowsNameKeyTest, NamesDifferingInCaseOrSeparatorAreOneFile) {
  const KeyCase cases[] = {{"Data/Client.cfg", "data\\client.CFG", true}, {"zantho.exe", "Zantho.EXE", true},
                           {"./a//b", "a/b", true},  {"dir/", "DIR", true},
                           {"a/b", "a/c", false}, {"ab", "a/b", false}};
  for (const KeyCase& c : cases) {
    EXPECT_EQ(windows_name_key(c.a) == windows_name_key(c.b), c.same) << c.a << " / " << c.b;
  }
}

TEST(InstallablePathTest, RefusesTheLaunchersOwnDirectories) {
  const PathCase cases[] = {{"logs/update", false}, {"Logs\\update", false}, {"packages", false},
                            {"./PACKAGES/tmp/x", false}, {"logs", false}, {"../x", false},
                            {"logs2/x", true},        {"data/logs/x", true},  {"packagesx", true}};
  for (const PathCase& c : cases) {
    EXPECT_EQ(is_installable_path(c.path), c.safe) << c.path;
  }
}

}  // namespace
