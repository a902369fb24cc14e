// Processes, threads and time: the own executable, the process snapshot, process handles, sleeping and tick
// counts, with a test clock that tests switch on to run long waits without sleeping.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace platform {

// Like GetModuleFileNameW: the characters written without terminator; a longer path is cut to size - 1
// characters and the terminator, the result is size and last_error() ERROR_INSUFFICIENT_BUFFER; 0 on failure.
uint32_t get_module_file_name(char16_t* buffer, uint32_t size);

uint32_t get_current_process_id();

struct ProcessEntry {
  uint32_t process_id;
  uint32_t parent_process_id;
  std::string exe_file;  // the executable's file name without directory
};
// One snapshot of the running processes; null on failure. Close with close_handle.
Handle create_process_snapshot();
// False with ERROR_NO_MORE_FILES after the last process.
bool process_first(Handle snapshot, ProcessEntry* entry);
bool process_next(Handle snapshot, ProcessEntry* entry);

// Null with ERROR_INVALID_PARAMETER when there is no such process. Waiting on the handle ends when the process
// has ended. Close with close_handle.
Handle open_process(uint32_t process_id);
// Kills the process; its exit code is that of a kill here, not the one given.
bool terminate_process(Handle process, uint32_t exit_code);
uint32_t get_process_id(Handle process);  // 0 with ERROR_INVALID_HANDLE for a handle that is no process

// No named pipes here: always false with ERROR_NOT_SUPPORTED, the id untouched.
bool get_named_pipe_client_process_id(Handle pipe, uint32_t* process_id);

// Starts a thread at once; waiting on the handle ends when the function has returned. Closing the handle
// leaves the thread running. Null on failure.
Handle create_thread(uint32_t (*function)(void*), void* argument);

void sleep_ms(uint32_t milliseconds);
uint32_t tick_count();    // milliseconds, wrapping as GetTickCount does
uint64_t tick_count64();  // milliseconds
uint64_t monotonic_ns();

// Test seam: while the test clock is on, sleep_ms advances it instead of sleeping, the tick counts and
// monotonic_ns read it, and a wait with a finite time-out that the object does not satisfy at once advances it
// by the time-out and times out. Also switched on for a whole process by the environment variable
// ZANTHO_TEST_CLOCK (its value, in milliseconds, is the start).
void use_test_clock(bool on, uint64_t start_ms = 0);
void advance_test_clock(uint64_t milliseconds);
bool test_clock_on();

}  // namespace platform
