// UTF-16 to UTF-8 conversion.
#pragma once

#include <string>

// Empty for null, empty or unterminated text and for text holding an unpaired surrogate.
std::string to_utf8(const char16_t* text);
