#include "resources/rc_script.h"

#include <cctype>
#include <cstdlib>
#include <set>
#include <utility>

namespace {

enum class TokenKind { kName, kNumber, kString, kPunct, kEnd };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;  // a name, a punctuation character, or a string's decoded content
  int64_t number = 0;
  int line = 0;
};

bool tokenize(const std::string& text, std::vector<Token>* tokens, std::string* error) {
  int line = 1;
  size_t i = 0;
  bool line_start = true;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
      line_start = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    // Preprocessor lines that survive preprocessing (#pragma code_page, line markers) carry no resource.
    if (c == '#' && line_start) {
      while (i < text.size() && text[i] != '\n') ++i;
      continue;
    }
    line_start = false;
    Token token;
    token.line = line;
    bool wide_prefix = c == 'L' && i + 1 < text.size() && text[i + 1] == '"';
    if (c == '"' || wide_prefix) {
      i += wide_prefix ? 2 : 1;
      token.kind = TokenKind::kString;
      bool closed = false;
      while (i < text.size() && text[i] != '\n') {
        char s = text[i++];
        if (s == '"') {
          if (i < text.size() && text[i] == '"') {
            token.text += '"';
            ++i;
            continue;
          }
          closed = true;
          break;
        }
        if (s == '\\' && i < text.size()) {
          char e = text[i++];
          switch (e) {
            case 'n': token.text += '\n'; break;
            case 't': token.text += '\t'; break;
            case 'r': token.text += '\r'; break;
            case '\\': token.text += '\\'; break;
            case '"': token.text += '"'; break;
            default:
              *error = "line " + std::to_string(line) + ": unsupported escape \\" + std::string(1, e);
              return false;
          }
          continue;
        }
        token.text += s;
      }
      if (!closed) {
        *error = "line " + std::to_string(line) + ": unterminated string";
        return false;
      }
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      size_t end = i;
      while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
      std::string digits = text.substr(i, end - i);
      while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' || digits.back() == 'U' ||
                                 digits.back() == 'u')) {
        digits.pop_back();
      }
      char* parsed_end = nullptr;
      token.kind = TokenKind::kNumber;
      token.number = static_cast<int64_t>(std::strtoull(digits.c_str(), &parsed_end, 0));
      if (digits.empty() || *parsed_end != '\0') {
        *error = "line " + std::to_string(line) + ": bad number " + text.substr(i, end - i);
        return false;
      }
      i = end;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
      token.kind = TokenKind::kName;
      token.text = text.substr(i, end - i);
      i = end;
    } else {
      token.kind = TokenKind::kPunct;
      token.text = std::string(1, c);
      ++i;
    }
    tokens->push_back(std::move(token));
  }
  Token end;
  end.line = line;
  tokens->push_back(end);
  return true;
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, RcScript* script, std::string* error)
      : tokens_(std::move(tokens)), script_(script), error_(error) {}

  bool parse() {
    while (peek().kind != TokenKind::kEnd) {
      if (!statement()) return false;
    }
    return true;
  }

 private:
  const Token& peek(size_t ahead = 0) const {
    size_t at = pos_ + ahead;
    return at < tokens_.size() ? tokens_[at] : tokens_.back();
  }
  const Token& next() {
    const Token& token = peek();
    if (pos_ < tokens_.size() - 1) ++pos_;
    return token;
  }
  bool fail(const std::string& message) {
    *error_ = "line " + std::to_string(peek().line) + ": " + message;
    return false;
  }
  bool is_name(const char* name, size_t ahead = 0) const {
    return peek(ahead).kind == TokenKind::kName && peek(ahead).text == name;
  }
  bool is_punct(char c) const { return peek().kind == TokenKind::kPunct && peek().text[0] == c; }
  bool is_begin() const { return is_name("BEGIN") || is_punct('{'); }
  bool is_end() const { return is_name("END") || is_punct('}'); }
  void skip_comma() {
    if (is_punct(',')) next();
  }
  bool expect_comma() {
    if (!is_punct(',')) return fail("expected ','");
    next();
    return true;
  }

  bool unary(int64_t* value) {
    if (is_punct('(')) {
      next();
      if (!expression(value)) return false;
      if (!is_punct(')')) return fail("expected ')'");
      next();
      return true;
    }
    if (is_punct('-') || is_punct('~') || is_name("NOT")) {
      char op = peek().kind == TokenKind::kName ? '~' : peek().text[0];
      next();
      if (!unary(value)) return false;
      *value = op == '-' ? -*value : ~*value;
      return true;
    }
    if (peek().kind != TokenKind::kNumber) return fail("expected a number, found '" + peek().text + "'");
    *value = next().number;
    return true;
  }

  // Resource compilers evaluate these operators left to right without precedence.
  bool expression(int64_t* value) {
    if (!unary(value)) return false;
    while (is_punct('|') || is_punct('&') || is_punct('+') || is_punct('-')) {
      char op = next().text[0];
      int64_t right = 0;
      if (!unary(&right)) return false;
      switch (op) {
        case '|': *value |= right; break;
        case '&': *value &= right; break;
        case '+': *value += right; break;
        default: *value -= right; break;
      }
    }
    return true;
  }
  bool int_expression(int* value) {
    int64_t wide = 0;
    if (!expression(&wide)) return false;
    *value = static_cast<int>(wide);
    return true;
  }
  bool style_expression(uint32_t* value) {
    int64_t wide = 0;
    if (!expression(&wide)) return false;
    *value = static_cast<uint32_t>(wide);
    return true;
  }
  bool string(std::string* value) {
    if (peek().kind != TokenKind::kString) return fail("expected a string");
    *value = next().text;
    return true;
  }

  bool language(uint16_t* value) {
    int primary = 0;
    int sub = 0;
    if (!int_expression(&primary) || !expect_comma() || !int_expression(&sub)) return false;
    *value = static_cast<uint16_t>((sub << 10) | primary);
    return true;
  }

  bool statement() {
    if (is_name("LANGUAGE")) {
      next();
      return language(&language_);
    }
    if (is_name("STRINGTABLE")) {
      next();
      return string_table();
    }
    int64_t id = 0;
    if (peek().kind == TokenKind::kName) {
      next();  // a named resource: never one this build reads
    } else if (!expression(&id)) {
      return false;
    }
    if (is_name("DIALOGEX")) {
      next();
      return dialog(static_cast<int>(id));
    }
    if (is_name("DIALOG")) return fail("only DIALOGEX templates are read");
    return skip_resource();
  }

  // A resource from a file ends at its file name; one with inline data at the END of its outermost block.
  bool skip_resource() {
    while (peek().kind != TokenKind::kEnd) {
      if (peek().kind == TokenKind::kString) {
        next();
        return true;
      }
      if (is_begin()) {
        int depth = 0;
        do {
          if (is_begin()) ++depth;
          if (is_end()) --depth;
          next();
        } while (depth > 0 && peek().kind != TokenKind::kEnd);
        return depth == 0 || fail("missing END");
      }
      next();
    }
    return fail("resource without data");
  }

  bool string_table() {
    while (!is_begin()) {
      if (peek().kind == TokenKind::kEnd) return fail("expected BEGIN");
      next();  // memory flags and CHARACTERISTICS-like options change nothing here
    }
    next();
    while (!is_end()) {
      if (peek().kind == TokenKind::kEnd) return fail("missing END");
      RcString entry;
      int64_t id = 0;
      if (!expression(&id)) return false;
      skip_comma();
      if (!string(&entry.text)) return false;
      entry.id = static_cast<uint32_t>(id);
      entry.language = language_;
      if (!string_keys_.insert({entry.id, entry.language}).second) {
        return fail("string " + std::to_string(entry.id) + " given twice");
      }
      script_->strings.push_back(std::move(entry));
    }
    next();
    return true;
  }

  bool dialog(int id) {
    RcDialog dialog;
    dialog.id = id;
    dialog.language = language_;
    if (!int_expression(&dialog.x) || !expect_comma() || !int_expression(&dialog.y) || !expect_comma() ||
        !int_expression(&dialog.width) || !expect_comma() || !int_expression(&dialog.height)) {
      return false;
    }
    if (is_punct(',')) {
      next();
      int help_id = 0;
      if (!int_expression(&help_id)) return false;
    }
    while (!is_begin()) {
      const Token& option = next();
      if (option.kind != TokenKind::kName) return fail("unexpected '" + option.text + "' in a dialog header");
      bool ok = true;
      if (option.text == "STYLE") {
        ok = style_expression(&dialog.style);
      } else if (option.text == "EXSTYLE") {
        ok = style_expression(&dialog.ex_style);
      } else if (option.text == "CAPTION") {
        ok = string(&dialog.caption);
      } else if (option.text == "LANGUAGE") {
        ok = language(&dialog.language);
      } else if (option.text == "FONT") {
        ok = font(&dialog);
      } else {
        return fail("unsupported dialog option " + option.text);
      }
      if (!ok) return false;
    }
    next();
    while (!is_end()) {
      if (peek().kind == TokenKind::kEnd) return fail("missing END");
      if (!is_name("CONTROL")) return fail("only CONTROL statements are read in a dialog, found '" + peek().text + "'");
      next();
      RcControl control;
      if (!string(&control.text) || !expect_comma() || !int_expression(&control.id) || !expect_comma() ||
          !string(&control.class_name) || !expect_comma() || !style_expression(&control.style) ||
          !expect_comma() || !int_expression(&control.x) || !expect_comma() || !int_expression(&control.y) ||
          !expect_comma() || !int_expression(&control.width) || !expect_comma() ||
          !int_expression(&control.height)) {
        return false;
      }
      if (is_punct(',')) {
        next();
        if (!style_expression(&control.ex_style)) return false;
      }
      dialog.controls.push_back(std::move(control));
    }
    next();
    script_->dialogs.push_back(std::move(dialog));
    return true;
  }

  bool font(RcDialog* dialog) {
    if (!int_expression(&dialog->font_points) || !expect_comma() || !string(&dialog->font_name)) return false;
    int values[3] = {0, 0, 0};
    for (int& value : values) {
      if (!is_punct(',')) break;
      next();
      if (!int_expression(&value)) return false;
    }
    dialog->font_weight = values[0];
    dialog->font_italic = values[1] != 0;
    dialog->font_charset = values[2];
    return true;
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  RcScript* script_;
  std::string* error_;
  uint16_t language_ = 0;
  std::set<std::pair<uint32_t, uint16_t>> string_keys_;
};

}  // namespace

bool parse_rc_script(const std::string& text, RcScript* script, std::string* error) {
  std::vector<Token> tokens;
  if (!tokenize(text, &tokens, error)) return false;
  Parser parser(std::move(tokens), script, error);
  return parser.parse();
}

bool decode_utf8(const std::string& text, std::u32string* out) {
  out->clear();
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) return false;
    char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char follow = static_cast<unsigned char>(text[i + k]);
      if ((follow & 0xC0) != 0x80) return false;
      code = (code << 6) | (follow & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    out->push_back(code);
    i += extra + 1;
  }
  return true;
}
