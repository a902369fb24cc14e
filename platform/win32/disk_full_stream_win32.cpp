#include "platform/win32/disk_full_stream_win32.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/win32/windows_api.h"

namespace platform::win32 {
namespace {

// The C runtime has no stream over callbacks, so the caller's stream writes into a pipe without a buffer of its own:
// a write there ends only once this relay has read all of it. The relay first peeks, writes what it saw to the file
// and only then reads it off the pipe, so every byte the caller's write has put out is in the file when that write
// returns. At the limit it closes the pipe, and the caller's pending write fails short.
struct Relay {
  HANDLE pipe;
  FILE* file;
  uint64_t room;
};

DWORD WINAPI relay(void* parameter) {
  Relay* state = static_cast<Relay*>(parameter);
  static constexpr DWORD kBlock = 65536;
  std::string block(kBlock, '\0');
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(state->pipe, nullptr, 0, nullptr, &available, nullptr)) {
      break;  // the writer has closed its end
    }
    if (available == 0) {
      Sleep(1);
      continue;
    }
    if (state->room == 0) {
      break;
    }
    DWORD take = static_cast<DWORD>(std::min<uint64_t>({available, kBlock, state->room}));
    DWORD peeked = 0;
    if (!PeekNamedPipe(state->pipe, block.data(), take, &peeked, nullptr, nullptr) ||
        std::fwrite(block.data(), 1, peeked, state->file) != peeked || std::fflush(state->file) != 0) {
      break;
    }
    state->room -= peeked;
    DWORD read = 0;
    if (!ReadFile(state->pipe, block.data(), peeked, &read, nullptr)) {
      break;
    }
  }
  CloseHandle(state->pipe);
  std::fclose(state->file);
  delete state;
  return 0;
}

std::wstring unique_pipe_name() {
  static std::atomic<unsigned> counter{0};
  return L"\\\\.\\pipe\\zantho-disk-full-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

}  // namespace

FILE* disk_full_stream(FILE* file, uint64_t room) {
  std::wstring name = unique_pipe_name();
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   1, 0, 0, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) {
    return file;
  }
  HANDLE client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  int descriptor = client == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(client), _O_BINARY);
  FILE* stream = descriptor < 0 ? nullptr : _fdopen(descriptor, "wb");
  auto* state = new Relay{server, file, room};
  HANDLE thread = stream == nullptr ? nullptr : CreateThread(nullptr, 0, relay, state, 0, nullptr);
  if (thread == nullptr) {
    delete state;
    if (stream != nullptr) {
      std::fclose(stream);
    } else if (descriptor >= 0) {
      _close(descriptor);
    } else if (client != INVALID_HANDLE_VALUE) {
      CloseHandle(client);
    }
    CloseHandle(server);
    return file;
  }
  CloseHandle(thread);
  return stream;
}

}  // namespace platform::win32
