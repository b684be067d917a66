#pragma once
// A TCP listener on the loopback address that serves one connection at a
// time, for the management channel. Accept and Receive block; Stop, callable
// from any thread, wakes them so the serving thread can end.
#include <cstddef>
#include <cstdint>

#include "platform/handle.h"

namespace platform {

enum class ListenResult { Ok, SocketFailed, BindFailed, ListenFailed };

class TcpListener {
 public:
  TcpListener();
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Creates the socket, binds it to 127.0.0.1:port (0 = any free port) and
  // listens. On ListenFailed *error holds the system's error number.
  ListenResult Open(uint16_t port, int backlog, int* error);
  // The port actually bound (after Open), 0 when none.
  uint16_t BoundPort() const;

  // Waits for the next connection; kInvalidSocket on failure or once stopped.
  // The accepted socket answers small writes at once (no Nagle, quick ACKs).
  SocketHandle Accept();
  // One receive of at most size bytes: >0 bytes read, 0 peer closed,
  // -1 failure or stopped, kWoken when Wake was called meanwhile (nothing
  // read). Re-arms quick ACKs after every read.
  static constexpr long kWoken = -2;
  long Receive(SocketHandle socket, char* buffer, size_t size);
  // Sends all bytes, waiting at most boundMs for a peer that does not read;
  // the count sent (length when all went), or -1 when nothing could go.
  // Stop ends the wait at once. Never raises SIGPIPE.
  long Send(SocketHandle socket, const char* bytes, size_t length, int boundMs);
  void CloseSocket(SocketHandle socket);

  // Thread-safe: a blocked (or the next) Receive returns kWoken once, so
  // the serving thread can act for another thread on its connection.
  void Wake();
  // Thread-safe: wakes a blocked Accept or Receive; both fail from now on.
  void Stop();
  bool Stopped() const;

 private:
  enum class Ready { Readable, Stopped, Woken };
  // Waits until socket is readable, the listener is stopped, or (when
  // wakeable) Wake was called.
  Ready WaitReadable(SocketHandle socket, bool wakeable);

  SocketHandle listen_ = kInvalidSocket;
  // Signalled by Stop and never reset.
  FileHandle stop_ = kInvalidFileHandle;
  // Signalled by Wake, reset by the Receive that reports it.
  FileHandle wake_ = kInvalidFileHandle;
  // Signalled when a waited-on socket becomes readable (unused where poll does it).
  FileHandle readable_ = kInvalidFileHandle;
};

}  // namespace platform
