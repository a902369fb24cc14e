// Small helpers for test data and for checking that nothing is left open.
#pragma once

#include <cstddef>
#include <string>

// The same bytes for the same size and seed.
std::string random_bytes(size_t size, unsigned seed);

// Descriptors this process has open now (files, pipes, sockets).
size_t open_descriptor_count();
