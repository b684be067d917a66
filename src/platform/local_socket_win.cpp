#include "platform/local_socket.h"

#include <windows.h>

#include <cstdio>

#include "platform/account_win.h"

namespace platform {

namespace {

// The service runs as LocalSystem; run by hand (--console, in tests and the
// demo) it runs as the user himself.
bool ServerIsTheService(HANDLE pipe) {
  ULONG pid = 0;
  char sid[kSidTextSize];
  if (GetNamedPipeServerProcessId(pipe, &pid) && ProcessUserSid(pid, sid, sizeof sid) && IsSystemOrOwnUser(sid))
    return true;
  static bool said = false;  // the probe asks again and again
  if (!said) {
    said = true;
    std::fprintf(stderr, "quorvanta: %s is served by process %lu, which is not the tunnel service; nothing is sent\n",
                 "the service pipe", static_cast<unsigned long>(pid));
  }
  return false;
}

}  // namespace

LocalSocket::~LocalSocket() { Close(); }

LocalConnectResult LocalSocket::Connect(const char* path, int busyWaitMs) {
  Close();
  if (!path || !*path) return LocalConnectResult::Failed;
  for (;;) {
    HANDLE pipe = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    if (pipe != INVALID_HANDLE_VALUE) {
      handle_.reset(pipe);
      // Nothing is written to a server that is not the service: anybody who
      // could make an instance of the name would read the user's requests.
      if (!ServerIsTheService(pipe)) {
        Close();
        return LocalConnectResult::Failed;
      }
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
      return GetLastError() == ERROR_FILE_NOT_FOUND ? LocalConnectResult::Absent : LocalConnectResult::Busy;
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
