// Waiting on the layer's thread and process objects, for wait_for_single_object.
#pragma once

#include <cstdint>
#include <memory>

namespace platform::posix {

uint32_t wait_thread_object(const std::shared_ptr<void>& object, uint32_t timeout_ms);
uint32_t wait_process_object(const std::shared_ptr<void>& object, uint32_t timeout_ms);

// For an object that is not signalled: true with the result when the wait ends at once (a time-out of 0, or a
// finite time-out on the test clock, which it advances).
bool wait_ends_at_once(uint32_t timeout_ms, uint32_t* result);

// Real milliseconds until a deadline, for waits that cannot run on the test clock.
uint64_t real_clock_ms();

}  // namespace platform::posix
