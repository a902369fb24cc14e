#include "common/single_instance.h"

#include "platform/errors.h"
#include "platform/sync.h"

platform::Handle g_instance_mutex = nullptr;

bool acquire_single_instance(const char* name) {
  g_instance_mutex = platform::create_mutex(name, false);
  uint32_t error = platform::last_error();
  return g_instance_mutex != nullptr && error != platform::ERROR_ALREADY_EXISTS;
}

bool release_single_instance() {
  bool closed = platform::close_handle(g_instance_mutex);
  return g_instance_mutex != nullptr && closed;
}
