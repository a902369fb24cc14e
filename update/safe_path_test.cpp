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
                    PathCase{"dir/", true}, PathCase{"..a/b..", true}, PathCase{"a/.../b", true},
                    PathCase{"./a", true}, PathCase{"", false}, PathCase{"/etc/passwd", false},
                    PathCase{"\\Windows\\x", false}, PathCase{"\\\\?\\C:\\x", false}, PathCase{"C:x", false},
                    PathCase{"c:\\x", false}, PathCase{"..", false}, PathCase{"../a", false},
                    PathCase{"..\\a", false}, PathCase{"a/../../b", false}, PathCase{"a\\..", false},
                    PathCase{"a/..\\b", false}));

}  // namespace
