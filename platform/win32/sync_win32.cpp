#include "platform/sync.h"

#include "platform/process.h"
#include "platform/win32/utf16_win32.h"
#include "platform/win32/windows_api.h"

namespace platform {

using win32::Utf16;

// Windows sets the last error only when the object existed; cleared first, so an earlier 183 is not read back.
Handle create_mutex(const char* name, bool initial_owner) {
  SetLastError(ERROR_SUCCESS);
  return CreateMutexW(nullptr, initial_owner, Utf16(name).get());
}

Handle create_event(const char* name, bool manual_reset, bool initial_state) {
  SetLastError(ERROR_SUCCESS);
  return CreateEventW(nullptr, manual_reset, initial_state, Utf16(name).get());
}

Handle open_event(const char* name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, Utf16(name).get());
}

bool set_event(Handle event) { return SetEvent(event) != FALSE; }

bool reset_event(Handle event) { return ResetEvent(event) != FALSE; }

uint32_t wait_for_single_object(Handle handle, uint32_t timeout_ms) {
  // On the test clock a finite wait that is not satisfied at once takes its whole time-out, without waiting.
  if (timeout_ms != INFINITE && timeout_ms != 0 && test_clock_on()) {
    DWORD result = WaitForSingleObject(handle, 0);
    if (result == WAIT_TIMEOUT) {
      advance_test_clock(timeout_ms);
    }
    return result;
  }
  return WaitForSingleObject(handle, timeout_ms);
}

}  // namespace platform
