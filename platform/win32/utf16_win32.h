// The layer's text is UTF-8; Windows reads the narrow ("A") calls' text in the ANSI code page, which is UTF-8 only
// where the manifest's code page is honoured (Windows 10 1903 on). So every name goes to and comes from Windows
// through the wide calls, converted here.
#pragma once

#include <string>
#include <string_view>

namespace platform::win32 {

// The UTF-16 form of UTF-8 text (invalid bytes become U+FFFD).
std::wstring to_utf16(std::string_view text);
// The UTF-8 form of UTF-16 text (unpaired surrogates become U+FFFD).
std::string to_utf8(std::wstring_view text);

// The process's environment variable in UTF-8 (GetEnvironmentVariableW); false when it is not set.
bool environment_variable(const char* name, std::string* value);

// A UTF-8 argument handed on to a wide call; null stays null, as the calls give null its own meaning.
class Utf16 {
 public:
  explicit Utf16(const char* text) : null_(text == nullptr), text_(text ? to_utf16(text) : std::wstring()) {}
  const wchar_t* get() const { return null_ ? nullptr : text_.c_str(); }
  wchar_t* mutable_get() { return null_ ? nullptr : text_.data(); }

 private:
  bool null_;
  std::wstring text_;
};

// A list of names, each ended by a terminator and the list by one more (a service's dependencies), in UTF-16;
// null stays null.
class Utf16List {
 public:
  explicit Utf16List(const char* list);
  const wchar_t* get() const { return null_ ? nullptr : text_.c_str(); }

 private:
  bool null_;
  std::wstring text_;
};

}  // namespace platform::win32
