// Contents for transfer tests: bytes that differ from position to position, so a misplaced piece shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string patterned_content(size_t size, uint32_t seed = 1);
