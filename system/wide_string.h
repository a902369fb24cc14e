// UTF-8 to wide text (UTF-16), for the texts that wide-character interfaces take.
#pragma once

#include <string>

// Empty for null, empty or invalid UTF-8 and for input of 2,147,483,646 bytes or more.
std::u16string utf8_to_wstring(const char* text);
