#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextTest, ToUtf8ConvertsWholeTextsOrNothing) {
  struct {
    std::u16string text;
    std::string utf8;
  } cases[] = {
      {u"-b zantho://launch/123", "-b zantho://launch/123"},
      {u"榛禾游戏", "\xE6\xA6\x9B\xE7\xA6\xBE\xE6\xB8\xB8\xE6\x88\x8F"},
      {u"\xD83C\xDFAE", "\xF0\x9F\x8E\xAE"},  // a pair becomes four bytes
      {u"a\xD83C\xDFAE" u"b", "a\xF0\x9F\x8E\xAE" "b"},
      {std::u16string(u"abc\xD83C"), ""},  // unpaired high surrogate: the whole text is lost
      {std::u16string(u"\xDFAE" u"abc"), ""},
      {std::u16string(u"\xDFAE\xD83C"), ""},  // a pair in the wrong order
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_utf8(c.text.c_str()), c.utf8) << c.utf8;
  }
  EXPECT_EQ(to_utf8(nullptr), "");
  EXPECT_EQ(to_utf8(u""), "");
}

}  // namespace
