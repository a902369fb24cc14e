// Build-time generator: turns the dialogs and string tables of a preprocessed resource script into C++ data
// for the user-interface layer.  rc_to_cpp <preprocessed.rc> <output.cpp> <symbol>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "resources/rc_script.h"

namespace {

// Octal escapes keep every byte of a narrow literal unambiguous, whatever character follows.
std::string narrow_literal(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%03o", c);
      out += escape;
    }
  }
  return out + "\"";
}

bool wide_literal(const std::string& text, std::string* out) {
  std::u32string codes;
  if (!decode_utf8(text, &codes)) return false;
  *out = "L\"";
  for (char32_t c : codes) {
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      *out += static_cast<char>(c);
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\U%08X", static_cast<unsigned>(c));
      *out += escape;
    }
  }
  *out += "\"";
  return true;
}

bool emit(const RcScript& script, const std::string& symbol, std::ostream& out, std::string* error) {
  out << "// Generated from the resource script by rc_to_cpp; do not edit.\n"
         "#include \"platform/ui.h\"\n\n"
         "extern const platform::ModuleResources "
      << symbol << ";\n\nnamespace {\n\n";
  for (size_t d = 0; d < script.dialogs.size(); ++d) {
    const RcDialog& dialog = script.dialogs[d];
    out << "const platform::DialogItemTemplate kItems" << d << "[] = {\n";
    for (const RcControl& c : dialog.controls) {
      std::u32string codes;
      if (!decode_utf8(c.text, &codes) || !decode_utf8(dialog.caption, &codes)) {
        *error = "dialog " + std::to_string(dialog.id) + " has a text that is not valid UTF-8";
        return false;
      }
      out << "    {" << c.id << ", " << narrow_literal(c.class_name) << ", "
          << (c.text.empty() ? std::string("nullptr") : narrow_literal(c.text)) << ", " << c.style << "u, "
          << c.ex_style << "u, " << c.x << ", " << c.y << ", " << c.width << ", " << c.height << "},\n";
    }
    out << "};\n";
  }
  out << "\nconst platform::DialogTemplate kDialogs[] = {\n";
  for (size_t d = 0; d < script.dialogs.size(); ++d) {
    const RcDialog& g = script.dialogs[d];
    out << "    {" << g.id << ", " << g.language << ", " << g.style << "u, " << g.ex_style << "u, " << g.x << ", "
        << g.y << ", " << g.width << ", " << g.height << ", " << narrow_literal(g.caption) << ", "
        << narrow_literal(g.font_name) << ", " << g.font_points << ", " << g.font_weight << ", "
        << (g.font_italic ? "true" : "false") << ", " << g.font_charset << ", kItems" << d << ", "
        << g.controls.size() << "},\n";
  }
  out << "};\n\nconst platform::StringResource kStrings[] = {\n";
  for (const RcString& s : script.strings) {
    std::string literal;
    if (!wide_literal(s.text, &literal)) {
      *error = "string " + std::to_string(s.id) + " is not valid UTF-8";
      return false;
    }
    out << "    {" << s.id << ", " << s.language << ", " << literal << "},\n";
  }
  out << "};\n\n}  // namespace\n\nconst platform::ModuleResources " << symbol << " = {kDialogs, "
      << script.dialogs.size() << ", kStrings, " << script.strings.size() << "};\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: rc_to_cpp <preprocessed.rc> <output.cpp> <symbol>\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "rc_to_cpp: cannot read " << argv[1] << "\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  RcScript script;
  std::string error;
  if (!parse_rc_script(text.str(), &script, &error)) {
    std::cerr << argv[1] << ": " << error << "\n";
    return 1;
  }
  if (script.dialogs.empty() || script.strings.empty()) {
    std::cerr << argv[1] << ": no dialog or no string table\n";
    return 1;
  }
  std::ostringstream generated;
  if (!emit(script, argv[3], generated, &error)) {
    std::cerr << argv[1] << ": " << error << "\n";
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << generated.str();
  out.close();
  if (!out) {
    std::cerr << "rc_to_cpp: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
