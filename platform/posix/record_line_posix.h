// The layer's record files (services, tasks) keep one value a line: a value's backslashes, line feeds and
// carriage returns are escaped so that it stays on its line.
#pragma once

#include <string>

namespace platform::posix {

std::string escape_record_value(const std::string& value);
std::string unescape_record_value(const std::string& text);

}  // namespace platform::posix
