// JSON nested deeper than a recursive parser can go on a thread's stack, as a hostile server sends it.
#pragma once

#include <cstddef>
#include <string>

// Depths that overflowed an 8 MiB stack with RapidJSON's recursive parser.
constexpr size_t kDeepArrays = 1000000;
constexpr size_t kDeepObjects = 200000;

// "[[...]]": depth arrays, the innermost empty.
std::string nested_arrays(size_t depth);

// {"a":{"a":...{}}}: depth objects, each the value of the one before.
std::string nested_objects(size_t depth);
