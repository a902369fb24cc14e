// Windows error numbers, as the layer reports them through last_error().
// Every operation of the layer that fails sets the calling thread's last error.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_BAD_FORMAT = 11;
inline constexpr uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_INVALID_LEVEL = 124;
inline constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr uint32_t ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr uint32_t ERROR_SERVICE_DISABLED = 1058;
inline constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr uint32_t ERROR_PROCESS_ABORTED = 1067;
inline constexpr uint32_t ERROR_SERVICE_DEPENDENCY_FAIL = 1068;
inline constexpr uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr uint32_t ERROR_NO_ASSOCIATION = 1155;
inline constexpr uint32_t ERROR_CANCELLED = 1223;
inline constexpr uint32_t ERROR_UNKNOWN_REVISION = 1305;
inline constexpr uint32_t ERROR_NONE_MAPPED = 1332;
inline constexpr uint32_t ERROR_INVALID_ACL = 1336;
inline constexpr uint32_t ERROR_INVALID_SECURITY_DESCR = 1338;
inline constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr uint32_t ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// The calling thread's last error, as GetLastError() gives it.
uint32_t last_error();
void set_last_error(uint32_t error);

}  // namespace platform
