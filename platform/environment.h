// The process's environment variables (SetEnvironmentVariable); reading them is std::getenv's.
#pragma once

namespace platform {

// Sets the variable for this process and the programs it starts; a null value removes it. False on failure.
bool set_environment_variable(const char* name, const char* value);

}  // namespace platform
