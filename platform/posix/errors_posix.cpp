#include "platform/errors.h"

namespace platform {
namespace {
thread_local uint32_t t_last_error = ERROR_SUCCESS;
}  // namespace

uint32_t last_error() { return t_last_error; }

void set_last_error(uint32_t error) { t_last_error = error; }

}  // namespace platform
