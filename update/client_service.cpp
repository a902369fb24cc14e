#include "update/client_service.h"

#include <string>

#include "common/log.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "system/service_control.h"

namespace {

const char kServiceName[] = "Zantho Client Service";
const char16_t kProgramName[] = u"ZanthoClientService.exe";
constexpr uint32_t kEventWaitMs = 5000;

std::u16string current_directory() {
  uint32_t size = platform::get_current_directory_w(nullptr, 0);
  if (size == 0) {
    return {};
  }
  std::u16string directory(size, u'\0');
  uint32_t length = platform::get_current_directory_w(directory.data(), size);
  directory.resize(length < size ? length : 0);
  return directory;
}

std::string utf8(const std::u16string& text) {
  int size = platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 0) {
    return {};
  }
  std::string result(static_cast<size_t>(size), '\0');
  platform::wide_char_to_multi_byte(platform::CP_UTF8, 0, text.c_str(), -1, result.data(), size);
  result.resize(static_cast<size_t>(size - 1));
  return result;
}

// Only "not found" counts as missing; any other trouble with the path is left to the shell to report.
bool program_missing(const std::u16string& program) {
  if (platform::get_file_attributes(utf8(program).c_str()) != platform::INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  uint32_t error = platform::last_error();
  return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
}

}  // namespace

int check_zantho_service() {
  stop_service(kServiceName);
  // Kept open for the rest of the process, so the event outlives a service program that sets it and ends.
  platform::Handle event = platform::create_event(kServiceName, true, false);
  std::u16string directory = current_directory();
  std::u16string program = directory + u"\\" + kProgramName;
  if (program_missing(program)) {
    return 10;
  }
  platform::ShellExecuteInfo info{};
  info.size = sizeof info;
  info.mask = platform::SEE_MASK_NOCLOSEPROCESS;
  info.file = program.c_str();
  info.parameters = u"install";
  info.directory = directory.c_str();
  info.show = platform::SW_SHOWNORMAL;
  if (!platform::shell_execute_ex(&info)) {
    uint32_t error = platform::last_error();
    if (error == platform::ERROR_CANCELLED) {
      log_to("update", spdlog::level::err, "提升权限被用户拒绝\\n");
    } else if (error == platform::ERROR_FILE_NOT_FOUND) {
      log_to("update", spdlog::level::err, "所要执行的文件没有找到\n");
    } else {
      log_to("update", spdlog::level::err, "ShellExecuteEx dwStatus: {}\n", error);
    }
    return 2;
  }
  if (info.process) {
    platform::close_handle(info.process);
  }
  platform::wait_for_single_object(event, kEventWaitMs);
  std::string argument = "-path=" + utf8(directory);
  const char* arguments[] = {argument.c_str()};
  start_service(kServiceName, 1, arguments);
  return 0;
}
