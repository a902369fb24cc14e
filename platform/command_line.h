// The process's command line as the process entry receives it: one UTF-16 string after the program's own name.
#pragma once

#include <string>

namespace platform {

// Here the arguments after argv[0], joined by single blanks, each exactly as given (UTF-8 turned into UTF-16;
// a byte that is not part of valid UTF-8 becomes U+FFFD). Quotes the shell removed are not put back.
std::u16string command_line(int argc, const char* const* argv);

}  // namespace platform
