// Starting and stopping a service by name, waiting by the manager's rules until it has got there.
// Both report only through console lines on standard output.
#pragma once

#include <cstdint>

#include "platform/services.h"

// Starts the service with the given start arguments and waits while its start is pending.
void start_service(const char* service_name, uint32_t argc, const char** argv);

// Stops the service after its active dependants, within 30 seconds for all of it.
void stop_service(const char* service_name);

// True when no dependant is active or each was stopped; false at the first failure. Prints nothing.
bool stop_dependent_services(platform::ScHandle manager, platform::ScHandle service);

// The sleep of a pending wait: a tenth of the wait hint, kept within 1,000..10,000 ms.
uint32_t pending_wait_sleep_ms(uint32_t wait_hint);
