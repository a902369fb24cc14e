#include "resources/rc_script.h"

#include <gtest/gtest.h>

namespace {

TEST(RcScript, ReadsStringTablesWithTheirLanguages) {
  RcScript script;
  std::string error;
  ASSERT_TRUE(parse_rc_script("#pragma code_page(65001)\n"
                              "LANGUAGE 0x09, 0x01\n"
                              "STRINGTABLE\nBEGIN\n  201, \"zantho games\"\n  202 \"say \"\"hi\"\"\\\\now\"\nEND\n"
                              "LANGUAGE 4, 2\n"
                              "STRINGTABLE { 201, \"\xE6\xA6\x9B\xE7\xA6\xBE\" }\n",
                              &script, &error))
      << error;
  ASSERT_EQ(script.strings.size(), 3u);
  EXPECT_EQ(script.strings[0].id, 201u);
  EXPECT_EQ(script.strings[0].language, 1033);
  EXPECT_EQ(script.strings[0].text, "zantho games");
  EXPECT_EQ(script.strings[1].text, "say \"hi\"\\now");
  EXPECT_EQ(script.strings[2].language, 2052);
  EXPECT_EQ(script.strings[2].text, "\xE6\xA6\x9B\xE7\xA6\xBE");
}

TEST(RcScript, ReadsADialogAndPassesOverOtherResources) {
  RcScript script;
  std::string error;
  ASSERT_TRUE(parse_rc_script("LANGUAGE 4, 1\n"
                              "106 ICON \"zantho.ico\"\n"
                              "1 24 \"zantho.manifest\"\n"
                              "1 VERSIONINFO\n FILEVERSION 2, 4, 0, 2\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n"
                              "  VALUE \"FileVersion\", \"2.4.0.2\"\n END\nEND\n"
                              "104 DIALOGEX 0, 0, 303, 68\n"
                              "STYLE (0x80000000L) | (0x00C00000L) | 0x0040L\n"
                              "CAPTION \"Zantho\"\n"
                              "FONT 8, \"MS Shell Dlg\", 400, 0, 0x1\n"
                              "BEGIN\n"
                              "  CONTROL \"\", 1001, \"msctls_progress32\", 0x50000000L | 0x0001L, 13, 25, 275, 12\n"
                              "  CONTROL \"Cancel\", (2), \"Button\", 0x50010000L, 239, 43, 50, 14\n"
                              "  CONTROL \"x\", (-1), \"Static\", 0x50020000L, 15, 11, 93, 8, 0x4L\n"
                              "END\n",
                              &script, &error))
      << error;
  EXPECT_TRUE(script.strings.empty());
  ASSERT_EQ(script.dialogs.size(), 1u);
  const RcDialog& dialog = script.dialogs[0];
  EXPECT_EQ(dialog.id, 104);
  EXPECT_EQ(dialog.language, 1028);
  EXPECT_EQ(dialog.width, 303);
  EXPECT_EQ(dialog.height, 68);
  EXPECT_EQ(dialog.style, 0x80C00040u);
  EXPECT_EQ(dialog.caption, "Zantho");
  EXPECT_EQ(dialog.font_name, "MS Shell Dlg");
  EXPECT_EQ(dialog.font_points, 8);
  EXPECT_EQ(dialog.font_weight, 400);
  EXPECT_EQ(dialog.font_charset, 1);
  ASSERT_EQ(dialog.controls.size(), 3u);
  EXPECT_EQ(dialog.controls[0].style, 0x50000001u);
  EXPECT_EQ(dialog.controls[0].class_name, "msctls_progress32");
  EXPECT_EQ(dialog.controls[1].id, 2);
  EXPECT_EQ(dialog.controls[1].text, "Cancel");
  EXPECT_EQ(dialog.controls[1].x, 239);
  EXPECT_EQ(dialog.controls[1].height, 14);
  EXPECT_EQ(dialog.controls[2].id, -1);
  EXPECT_EQ(dialog.controls[2].ex_style, 4u);
}

struct BadScript {
  const char* name;
  const char* text;
  const char* message;
};

void PrintTo(const BadScript& script, std::ostream* os) { *os << script.name; }

class RcScriptErrors : public testing::TestWithParam<BadScript> {};

TEST_P(RcScriptErrors, NameTheFault) {
  RcScript script;
  std::string error;
  EXPECT_FALSE(parse_rc_script(GetParam().text, &script, &error));
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RcScriptErrors,
    testing::Values(
        BadScript{"UnterminatedString", "STRINGTABLE BEGIN 201, \"open\nEND\n", "line 1: unterminated string"},
        BadScript{"DuplicateId", "STRINGTABLE BEGIN 201, \"a\"\n 201, \"b\" END\n", "line 2: string 201 given twice"},
        BadScript{"MissingEnd", "STRINGTABLE BEGIN 201, \"a\"\n", "missing END"},
        BadScript{"OldDialog", "104 DIALOG 0, 0, 10, 10 BEGIN END\n", "only DIALOGEX"},
        BadScript{"ShorthandControl", "104 DIALOGEX 0, 0, 10, 10 BEGIN LTEXT \"a\", 1, 0, 0, 5, 5 END\n",
                  "only CONTROL statements"},
        BadScript{"MissingComma", "104 DIALOGEX 0, 0 10, 10 BEGIN END\n", "expected ','"},
        BadScript{"UnknownEscape", "STRINGTABLE BEGIN 201, \"a\\qb\" END\n", "unsupported escape"}),
    [](const testing::TestParamInfo<BadScript>& info) { return std::string(info.param.name); });

TEST(RcScript, DecodesUtf8AndRejectsMalformedInput) {
  std::u32string codes;
  ASSERT_TRUE(decode_utf8("a\xC3\xA9\xE6\xA6\x9B\xF0\x9F\x98\x80", &codes));
  EXPECT_EQ(codes, std::u32string({U'a', 0xE9, 0x699B, 0x1F600}));
  for (const char* bad : {"\xC3", "\xE6\xA6", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(decode_utf8(bad, &codes)) << testing::PrintToString(std::string(bad));
  }
}

}  // namespace
