#include "platform/local_socket.h"

#include <windows.h>

namespace platform {

LocalSocket::~LocalSocket() { Close(); }

LocalConnectResult LocalSocket::Connect(const char* path, int busyWaitMs) {
  Close();
  if (!path || !*path) return LocalConnectResult::Failed;
  for (;;) {
    HANDLE pipe = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    if (pipe != INVALID_HANDLE_VALUE) {
      handle_.reset(pipe);
      return LocalConnectResult::Connected;
    }
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return LocalConnectResult::Absent;
      case ERROR_PIPE_BUSY:
        break;
      default:
        return LocalConnectResult::Failed;
    }
    // Every instance is taken: wait for one to free, then race for it again;
    // as long as the waits succeed there is no limit on the rounds.
    DWORD wait = busyWaitMs > 0 ? static_cast<DWORD>(busyWaitMs) : 1;
    if (!WaitNamedPipeA(path, wait)) {
      // The server may have gone away meanwhile: that is absence, not a busy pipe.
      return GetLastError() == ERROR_FILE_NOT_FOUND ? LocalConnectResult::Absent
                                                    : LocalConnectResult::Busy;
    }
  }
}

// One synchronous write; a pipe in message mode takes the message whole.
bool LocalSocket::Write(const void* bytes, size_t length) {
  if (!handle_.is_valid() || length > 0xFFFFFFFFu) return false;
  DWORD written = 0;
  return WriteFile(handle_.get(), bytes, static_cast<DWORD>(length), &written, nullptr) != FALSE;
}

void LocalSocket::Close() { handle_.reset(); }

}  // namespace platform
