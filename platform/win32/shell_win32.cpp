#include "platform/shell.h"

#include <atomic>

#include "platform/errors.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

std::atomic<uint32_t> g_forced_failure{0};

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

intptr_t shell_execute(Hwnd window, const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int show) {
  if (uint32_t forced = g_forced_failure.load()) {
    SetLastError(forced);
    return SE_ERR_ACCESSDENIED;
  }
  HINSTANCE result = ShellExecuteW(static_cast<HWND>(window), wide(verb), wide(file), wide(parameters),
                                   wide(directory), show);
  return reinterpret_cast<intptr_t>(result);
}

bool shell_execute_ex(ShellExecuteInfo* info) {
  if (!info || info->size != sizeof(ShellExecuteInfo)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  info->process = nullptr;
  if (uint32_t forced = g_forced_failure.load()) {
    info->instance_app = SE_ERR_ACCESSDENIED;
    SetLastError(forced);
    return false;
  }
  SHELLEXECUTEINFOW native{};
  native.cbSize = sizeof native;
  native.fMask = info->mask;
  native.hwnd = static_cast<HWND>(info->window);
  native.lpVerb = wide(info->verb);
  native.lpFile = wide(info->file);
  native.lpParameters = wide(info->parameters);
  native.lpDirectory = wide(info->directory);
  native.nShow = info->show;
  BOOL ok = ShellExecuteExW(&native);
  // Read before anything else can touch the thread's last error.
  DWORD error = ok ? 0 : GetLastError();
  info->instance_app = reinterpret_cast<intptr_t>(native.hInstApp);
  info->process = native.hProcess;
  if (!ok) {
    SetLastError(error);
  }
  return ok != FALSE;
}

void set_shell_failure(uint32_t error) { g_forced_failure.store(error); }

}  // namespace platform
