#include "platform/posix/errno_map_posix.h"

#include <cerrno>

#include "platform/errors.h"

namespace platform::posix {

uint32_t windows_error(int error_number) {
  switch (error_number) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ERANGE:
      return ERROR_INSUFFICIENT_BUFFER;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

bool fail_from_errno() {
  set_last_error(windows_error(errno));
  return false;
}

}  // namespace platform::posix
