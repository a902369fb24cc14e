#include "platform/process.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/encoding.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

// Read once: ZANTHO_TEST_CLOCK switches it on for the whole process, starting at its value.
struct TestClock {
  std::atomic<bool> on{false};
  std::atomic<uint64_t> now_ms{0};
  TestClock() {
    if (const char* start = std::getenv("ZANTHO_TEST_CLOCK")) {
      now_ms = std::strtoull(start, nullptr, 10);
      on = true;
    }
  }
};

TestClock& test_clock() {
  static TestClock* clock = new TestClock;  // never destroyed: threads may read it while the process ends
  return *clock;
}

// The wide records, so the file name reaches the layer's UTF-8 whatever the ANSI code page.
bool walk(Handle snapshot, ProcessEntry* entry, bool first) {
  PROCESSENTRY32W record = {};
  record.dwSize = sizeof record;
  if (!(first ? Process32FirstW(snapshot, &record) : Process32NextW(snapshot, &record))) {
    return false;
  }
  char name[MAX_PATH * 3];
  if (WideCharToMultiByte(CP_UTF8, 0, record.szExeFile, -1, name, sizeof name, nullptr, nullptr) == 0) {
    name[0] = 0;
  }
  entry->process_id = record.th32ProcessID;
  entry->parent_process_id = record.th32ParentProcessID;
  entry->exe_file = name;
  return true;
}

struct ThreadStart {
  uint32_t (*function)(void*);
  void* argument;
};

DWORD WINAPI thread_start(void* parameter) {
  ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  return start.function(start.argument);
}

uint64_t real_ns() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
  return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

}  // namespace

// Windows before Vista, and Wine, leave a cut path without its terminator; the callers read up to one.
uint32_t get_module_file_name(char16_t* buffer, uint32_t size) {
  uint32_t length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer), size);
  if (size > 0 && length == size) {
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
  }
  return length;
}

uint32_t get_current_process_id() { return GetCurrentProcessId(); }

Handle create_process_snapshot() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  return snapshot == INVALID_HANDLE_VALUE ? nullptr : snapshot;
}

bool process_first(Handle snapshot, ProcessEntry* entry) { return walk(snapshot, entry, true); }

bool process_next(Handle snapshot, ProcessEntry* entry) { return walk(snapshot, entry, false); }

Handle open_process(uint32_t process_id) { return OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id); }

bool terminate_process(Handle process, uint32_t exit_code) { return TerminateProcess(process, exit_code) != FALSE; }

uint32_t get_process_id(Handle process) { return GetProcessId(process); }

bool get_named_pipe_client_process_id(Handle pipe, uint32_t* process_id) {
  ULONG client = 0;
  if (!GetNamedPipeClientProcessId(pipe, &client)) {
    return false;
  }
  *process_id = client;
  return true;
}

Handle create_thread(uint32_t (*function)(void*), void* argument) {
  if (function == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* start = new (std::nothrow) ThreadStart{function, argument};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE thread = CreateThread(nullptr, 0, thread_start, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
  }
  return thread;
}

void sleep_ms(uint32_t milliseconds) {
  if (test_clock_on()) {
    advance_test_clock(milliseconds);
    return;
  }
  Sleep(milliseconds);
}

// From the performance counter rather than GetTickCount64, whose steps of 10 to 16 ms would make a wait measured
// in ticks end early.
uint64_t tick_count64() { return test_clock_on() ? test_clock().now_ms.load() : real_ns() / 1000000; }

uint32_t tick_count() { return static_cast<uint32_t>(tick_count64()); }

uint64_t monotonic_ns() { return test_clock_on() ? test_clock().now_ms.load() * 1000000 : real_ns(); }

void use_test_clock(bool on, uint64_t start_ms) {
  test_clock().now_ms = start_ms;
  test_clock().on = on;
}

void advance_test_clock(uint64_t milliseconds) { test_clock().now_ms += milliseconds; }

bool test_clock_on() { return test_clock().on; }

}  // namespace platform
