// The bytes of the exit_waiter program, built with the layer and embedded in it, so that it needs no file of
// its own beside the program that uses the layer. Used by spawn_posix.cpp only.
#pragma once

#include <cstddef>

namespace platform::posix {

extern const unsigned char exit_waiter_image[];
extern const size_t exit_waiter_image_size;

}  // namespace platform::posix
