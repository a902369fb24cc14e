#include "platform/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(CommandLineTest, JoinsArgumentsAfterTheProgramName) {
  struct Case {
    std::vector<const char*> argv;
    std::u16string line;
  };
  const std::vector<Case> cases = {
      {{}, u""},
      {{"zantho.exe"}, u""},
      {{"zantho.exe", "-b"}, u"-b"},
      {{"zantho.exe", "-n", "/del"}, u"-n /del"},
      {{"zantho.exe", "a  b", "\tc"}, u"a  b \tc"},
      {{"zantho.exe", "", "x", ""}, u" x "},
      {{"zantho.exe", "\"zantho://host/42\""}, u"\"zantho://host/42\""},
      {{"zantho.exe", "\u00e9\u699b", "\U0001F3AE"}, u"\u00e9\u699b \U0001F3AE"},
      // Bytes that are not UTF-8: stray continuation, overlong, surrogate, past U+10FFFF, cut short.
      {{"zantho.exe", "a\x80z", "\xC0\xAF", "\xED\xA0\x80"}, u"a\uFFFDz \uFFFD\uFFFD \uFFFD\uFFFD\uFFFD"},
      {{"zantho.exe", "\xF4\x90\x80\x80", "\xE6\xA6"}, u"\uFFFD\uFFFD\uFFFD\uFFFD \uFFFD\uFFFD"},
      {{"zantho.exe", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"}, u"\U0010FFFF \uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.size());
    EXPECT_EQ(platform::command_line(static_cast<int>(c.argv.size()), c.argv.data()), c.line);
  }
}

}  // namespace
