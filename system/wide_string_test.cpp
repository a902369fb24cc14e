#include "system/wide_string.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8ToWstring, ConvertsValidTextAndGivesNothingForInvalid) {
  struct Case {
    const char* text;
    std::u16string expected;
  };
  const Case cases[] = {
      {nullptr, u""},
      {"", u""},
      {"C:/Zantho/zanthoui.exe", u"C:/Zantho/zanthoui.exe"},
      {"\xC3\xA9t\xC3\xA9", u"\u00e9t\u00e9"},
      {"\xE6\xA6\x9B\xE7\xA6\xBE", u"\u699b\u79be"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"abc\xFF", u""},
      {"\xC3", u""},
      {"ab\xE6\xA6", u""},
      {"\xC0\xAF", u""},
      {"\xED\xA0\x80", u""},
      {"\xF4\x90\x80\x80", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_to_wstring(c.text), c.expected) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
