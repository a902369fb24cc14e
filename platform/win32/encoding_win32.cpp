#include "platform/encoding.h"

#include <cstring>

#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {

int wide_char_to_multi_byte(uint32_t code_page, uint32_t flags, const char16_t* text, int length, char* output,
                            int output_size) {
  return WideCharToMultiByte(code_page, flags, reinterpret_cast<const wchar_t*>(text), length, output, output_size,
                             nullptr, nullptr);
}

int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* text, int length, char16_t* output,
                            int output_size) {
  return MultiByteToWideChar(code_page, flags, text, length, reinterpret_cast<wchar_t*>(output), output_size);
}

namespace win32 {

// The conversions keep the thread's last error: they run between a call and the reading of its error.
std::wstring to_utf16(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  DWORD error = GetLastError();
  int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring wide(size > 0 ? static_cast<size_t>(size) : 0, L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
  }
  SetLastError(error);
  return wide;
}

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  DWORD error = GetLastError();
  int length = static_cast<int>(text.size());
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
  }
  SetLastError(error);
  return narrow;
}

Utf16List::Utf16List(const char* list) : null_(list == nullptr) {
  for (const char* name = list; name != nullptr && *name != '\0'; name += std::strlen(name) + 1) {
    text_ += to_utf16(name);
    text_ += L'\0';
  }
  text_ += L'\0';  // with c_str's own terminator, the list's end even when it is empty
}

}  // namespace win32
}  // namespace platform
