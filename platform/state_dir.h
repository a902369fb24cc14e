// The one directory that holds the state of the platform's stand-ins (named objects, services, tasks):
// $ZANTHO_PLATFORM_DIR when set, else /tmp/zantho-platform-<uid>.
#pragma once

#include <string>

namespace platform {

// Made (mode 0700) when missing; read anew on every call, so a test may set its own. Empty when it cannot be made.
std::string state_dir();
// state_dir()/kind/<name as a safe file name>, with kind's directory made; empty on failure.
std::string state_path(const std::string& kind, const std::string& name);

}  // namespace platform
