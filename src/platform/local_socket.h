#pragma once
// Client side of the service's local endpoint (a stream socket file, or a
// named pipe on Windows): connect, write one message, close.
#include <cstddef>

#include "platform/handle.h"

namespace platform {

enum class LocalConnectResult {
  Connected,
  Absent,  // nothing at the path: the service is not there
  Busy,    // the service's backlog stayed full for the whole wait
  Failed,  // anything else, among them a socket file nobody listens on
};

class LocalSocket {
 public:
  LocalSocket() = default;
  ~LocalSocket();
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  // Connects to path. While every instance of the endpoint is taken the call waits up
  // to busyWaitMs for it to take a connection before it reports Busy.
  LocalConnectResult Connect(const char* path, int busyWaitMs);
  // Writes all bytes; false on any failure. Never raises SIGPIPE.
  bool Write(const void* bytes, size_t length);
  void Close();

 private:
  ScopedFileHandle handle_;
};

}  // namespace platform
