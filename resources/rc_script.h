// Reading the parts of a preprocessed resource script that the POSIX build compiles in: every DIALOGEX and
// every STRINGTABLE with its language. Other resources (icons, manifests, version blocks) are passed over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RcControl {
  std::string text;  // UTF-8
  int id = 0;
  std::string class_name;
  uint32_t style = 0;
  uint32_t ex_style = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

struct RcDialog {
  int id = 0;
  uint16_t language = 0;
  int x = 0, y = 0, width = 0, height = 0;
  uint32_t style = 0;
  uint32_t ex_style = 0;
  std::string caption;
  std::string font_name;
  int font_points = 0;
  int font_weight = 0;
  bool font_italic = false;
  int font_charset = 0;
  std::vector<RcControl> controls;
};

struct RcString {
  uint32_t id = 0;
  uint16_t language = 0;
  std::string text;  // UTF-8
};

struct RcScript {
  std::vector<RcDialog> dialogs;
  std::vector<RcString> strings;
};

// False with a message naming the line for anything it cannot read; a string id given twice in one language
// is an error, as resource compilers make it.
bool parse_rc_script(const std::string& text, RcScript* script, std::string* error);

// UTF-8 to code points; false for malformed input.
bool decode_utf8(const std::string& text, std::u32string* out);
