// The Unix time that download URLs carry, with a seam so tests can set the clock.
#pragma once

#include <cstdint>

// Seconds since 1970-01-01 UTC, cut to the low 32 bits and read as a signed number (negative from 2038 on).
int32_t unix_time_low32();

// Tests replace the clock (seconds since 1970); null gives back the system's.
void set_unix_time_source(int64_t (*source)());
