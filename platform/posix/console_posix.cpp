#include "platform/console.h"

#include <unistd.h>

namespace platform {

// The standard streams are inherited here, so a parent's terminal is already ours: report it as Windows would.
bool attach_parent_console() {
  return isatty(STDOUT_FILENO) || isatty(STDERR_FILENO) || isatty(STDIN_FILENO);
}

// Nothing to reopen: the stream already is the parent's console.
int reopen_console_stream(FILE* stream, const char*, const char*) { return stream ? 0 : 22; }

}  // namespace platform
