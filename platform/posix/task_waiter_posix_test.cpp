#include "platform/posix/task_waiter_posix.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "platform/posix/spawn_posix.h"

namespace platform::task_waiter {
namespace {

// The arguments a task's program is given from the action's one argument string.
TEST(TaskArguments, AreSplitByTheWindowsRuntimeRules) {
  struct Case {
    std::string line;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"a  b\tc", {"a", "b", "c"}},
      {"\"two words\" x", {"two words", "x"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"\"", {""}},
      {"C:\\dir\\ x", {"C:\\dir\\", "x"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\\\"b", {"a\\\"b"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"\"open", {"open"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posix::split_command_line(c.line, false), c.expected) << c.line;
  }
}

TEST(ParseBoundary, ReadsLocalTimeAndUtcWithOffsets) {
  std::tm local{};
  local.tm_year = 2025 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 1;
  local.tm_sec = 1;
  local.tm_isdst = -1;
  const int64_t local_seconds = static_cast<int64_t>(std::mktime(&local));
  struct Case {
    std::u16string text;
    bool valid;
    int64_t seconds;
  };
  const Case cases[] = {
      {u"2025-01-01T00:00:01", true, local_seconds},
      {u"1970-01-01T00:00:00Z", true, 0},
      {u"2024-02-29T12:00:00Z", true, 1709208000},
      {u"2024-02-29T20:00:00+08:00", true, 1709208000},
      {u"2024-02-29T06:30:00-05:30", true, 1709208000},
      {u"2023-02-29T12:00:00Z", false, 0},
      {u"2024-02-29T24:00:00Z", false, 0},
      {u"2024-02-29 12:00:00", false, 0},
      {u"2024-02-29T12:00:00+8", false, 0},
      {u"2024-02-29T12:00", false, 0},
      {u"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    int64_t seconds = -1;
    EXPECT_EQ(parse_boundary(c.text, &seconds), c.valid);
    if (c.valid) {
      EXPECT_EQ(seconds, c.seconds);
    }
  }
}

}  // namespace
}  // namespace platform::task_waiter
