// Named kernel objects shared between processes (mutex, event) and waiting on handles.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

// A named mutex exists while any process holds a handle to it, also across processes; a killed holder lets go.
// When it existed, the result is a handle to it and last_error() is ERROR_ALREADY_EXISTS, else ERROR_SUCCESS.
// Only its existence is modelled: ownership (initial_owner, waiting) is not. A null name gives a mutex of its own.
Handle create_mutex(const char* name, bool initial_owner);

// A named event lives while any process holds a handle to it and keeps its state meanwhile. When it existed, the
// result opens it in its state (manual_reset and initial_state are not applied) with ERROR_ALREADY_EXISTS.
Handle create_event(const char* name, bool manual_reset, bool initial_state);
// Null with ERROR_FILE_NOT_FOUND when no process holds an event of that name.
Handle open_event(const char* name);
bool set_event(Handle event);
bool reset_event(Handle event);

// Events, threads and processes. WAIT_OBJECT_0 when signalled (an auto-reset event is reset by the wait),
// WAIT_TIMEOUT, or WAIT_FAILED with ERROR_INVALID_HANDLE.
uint32_t wait_for_single_object(Handle handle, uint32_t timeout_ms);

}  // namespace platform
