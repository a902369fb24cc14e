// The firing of time triggers: a detached waiter process per due trigger sleeps until the start boundary and
// then runs the task's exec actions, unless the record it was armed for has been deleted or replaced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tasks.h"

namespace platform::task_waiter {

// Seconds since 1970 of a boundary "YYYY-MM-DDTHH:MM:SS", in local time, or in UTC with "Z" or an offset
// "+HH:MM" / "-HH:MM" after it; false when the text is not such a time.
bool parse_boundary(const std::u16string& text, int64_t* seconds);

// Starts a waiter for each time trigger of the record that is still due; `instance` names the registration.
// False when a waiter could not be started.
bool arm(const std::u16string& name, const TaskRecord& record, const std::string& instance);

}  // namespace platform::task_waiter
