// The scheduled task that starts a program once, two seconds after it was registered.
#pragma once

#include <cstdint>
#include <string>

// Registers "Time Trigger Open Zantho Task" in the root task folder (an earlier one of that name is deleted),
// reporting on standard output; 0 when registered, 1 on every failure.
int32_t register_open_task(const char* program_path, const std::u16string& arguments);
