// The named mutex by which a second launcher notices the first.
#pragma once

#include "platform/handle.h"

extern platform::Handle g_instance_mutex;

// True only when this call created the mutex.
bool acquire_single_instance(const char* name);
bool release_single_instance();
