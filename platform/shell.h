// Running a program the way the shell does: ShellExecuteW and ShellExecuteExW.
// The program runs detached from the caller, with the parameters split into its arguments.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;

inline constexpr uint32_t SEE_MASK_DEFAULT = 0x0;
inline constexpr uint32_t SEE_MASK_NOCLOSEPROCESS = 0x40;

// Failure values of shell_execute (every value above 32 is a success).
inline constexpr intptr_t SE_ERR_FNF = 2;
inline constexpr intptr_t SE_ERR_PNF = 3;
inline constexpr intptr_t SE_ERR_ACCESSDENIED = 5;
inline constexpr intptr_t SE_ERR_OOM = 8;
inline constexpr intptr_t SE_ERR_NOASSOC = 31;

// SHELLEXECUTEINFOW: the fields the layer reads, and the two it fills.
struct ShellExecuteInfo {
  uint32_t size;  // sizeof(ShellExecuteInfo)
  uint32_t mask;
  Hwnd window;
  const char16_t* verb;        // null, "open" or "runas": run the file; any other verb has no association
  const char16_t* file;        // "\" and "/" both separate; relative to the current directory
  const char16_t* parameters;  // split into arguments by the Windows command-line rules
  const char16_t* directory;   // null: the caller's current directory
  int show;                    // no windows here: not used
  intptr_t instance_app;       // out: above 32 on success, else a value as shell_execute returns it
  Handle process;              // out, with SEE_MASK_NOCLOSEPROCESS: the started process (close_handle)
};

// ShellExecuteW: above 32 when the program was started, else 2 (not found), 3 (directory not found),
// 5 (denied, or any failure without a value of its own), 8 (out of resources), 31 (verb not known).
// last_error() holds the Windows error number either way on failure.
intptr_t shell_execute(Hwnd window, const char16_t* verb, const char16_t* file, const char16_t* parameters,
                       const char16_t* directory, int show);

// ShellExecuteExW: false with last_error() 2, 3, 5, 8, 1155 (verb not known), or a value set by the seam.
bool shell_execute_ex(ShellExecuteInfo* info);

// Test seam: while error is not 0, every shell call fails with it and starts nothing (1223 stands for an
// elevation prompt the user refused). 0 restores normal operation.
void set_shell_failure(uint32_t error);

}  // namespace platform
