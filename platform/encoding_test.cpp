#include "platform/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"

namespace {

struct WideCase {
  const char* name;
  std::u16string text;
  uint32_t flags;
  std::string utf8;  // empty: the conversion fails
};

void PrintTo(const WideCase& c, std::ostream* out) { *out << c.name; }

class WideToUtf8 : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideToUtf8, ConvertsOrFailsWholly) {
  const WideCase& c = GetParam();
  int length = static_cast<int>(c.text.size());
  int needed = platform::wide_char_to_multi_byte(platform::CP_UTF8, c.flags, c.text.data(), length, nullptr, 0);
  if (c.utf8.empty()) {
    EXPECT_EQ(needed, 0);
    EXPECT_EQ(platform::last_error(), platform::ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  ASSERT_EQ(needed, static_cast<int>(c.utf8.size()));
  std::string out(static_cast<size_t>(needed), '\0');
  EXPECT_EQ(platform::wide_char_to_multi_byte(platform::CP_UTF8, c.flags, c.text.data(), length, out.data(), needed),
            needed);
  EXPECT_EQ(out, c.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideToUtf8,
    ::testing::Values(WideCase{"ascii", u"zantho.exe", platform::WC_ERR_INVALID_CHARS, "zantho.exe"},
                      WideCase{"cjk", u"榛禾", platform::WC_ERR_INVALID_CHARS, "\xE6\xA6\x9B\xE7\xA6\xBE"},
                      WideCase{"pair", u"\xD83C\xDFAE", platform::WC_ERR_INVALID_CHARS, "\xF0\x9F\x8E\xAE"},
                      WideCase{"lone_high", std::u16string(u"a\xD83C" u"b"), platform::WC_ERR_INVALID_CHARS, ""},
                      WideCase{"lone_low", std::u16string(u"\xDFAE"), platform::WC_ERR_INVALID_CHARS, ""},
                      WideCase{"high_at_end", std::u16string(u"ab\xD83C"), platform::WC_ERR_INVALID_CHARS, ""},
                      WideCase{"lone_replaced", std::u16string(u"a\xD83C" u"b"), 0, "a\xEF\xBF\xBD" "b"}),
    [](const ::testing::TestParamInfo<WideCase>& info) { return std::string(info.param.name); });

TEST(EncodingTest, TerminatorCountsWithLengthMinusOneAndShortBuffersFail) {
  EXPECT_EQ(platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, u"ab", -1, nullptr, 0), 3);
  char small[2];
  EXPECT_EQ(platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, u"ab", -1, small, 2), 0);
  EXPECT_EQ(platform::last_error(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform::wide_char_to_multi_byte(12345, 0, u"ab", -1, nullptr, 0), 0);  // no such code page
  EXPECT_EQ(platform::last_error(), platform::ERROR_INVALID_PARAMETER);
}

TEST(EncodingTest, Utf8ToWideRejectsOrReplacesInvalidSequences) {
  // How many U+FFFD stand for one bad sequence differs between systems; that they replace it, and nothing valid
  // around it is lost, does not.
  struct {
    std::string utf8;
    std::u16string wide;  // the result, or for invalid input the valid text before the replacement
    bool valid;
  } cases[] = {
      {"\xE6\xA6\x9B", u"榛", true},
      {"\xF0\x9F\x8E\xAE", u"\xD83C\xDFAE", true},
      {"\xC0\xAF", u"", false},      // overlong "/"
      {"\xED\xA0\x80", u"", false},  // an encoded surrogate
      {"a\xE6\xA6", u"a", false},     // cut short
  };
  for (const auto& c : cases) {
    int length = static_cast<int>(c.utf8.size());
    char16_t out[16];
    int n = platform::multi_byte_to_wide_char(platform::CP_UTF8, 0, c.utf8.data(), length, out, 16);
    std::u16string lenient(out, static_cast<size_t>(n));
    if (c.valid) {
      EXPECT_EQ(lenient, c.wide) << c.utf8;
    } else {
      ASSERT_GT(lenient.size(), c.wide.size()) << c.utf8;
      EXPECT_EQ(lenient.substr(0, c.wide.size()), c.wide) << c.utf8;
      EXPECT_EQ(lenient.find_first_not_of(u'\xFFFD', c.wide.size()), std::u16string::npos) << c.utf8;
    }
    EXPECT_EQ(platform::multi_byte_to_wide_char(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, c.utf8.data(),
                                                length, out, 16) != 0,
              c.valid)
        << c.utf8;
  }
}

}  // namespace
