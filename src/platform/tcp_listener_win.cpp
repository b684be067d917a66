#include "platform/tcp_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace platform {

namespace {

bool ReadableNow(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval zero{0, 0};
  return select(0, &set, nullptr, nullptr, &zero) > 0;
}

}  // namespace

TcpListener::TcpListener() {
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: one Receive reports it
  readable_ = WSACreateEvent();
}

TcpListener::~TcpListener() {
  if (listen_ != kInvalidSocket) closesocket(listen_);
  if (IsValidFileHandle(stop_)) CloseHandle(stop_);
  if (IsValidFileHandle(wake_)) CloseHandle(wake_);
  if (readable_ != WSA_INVALID_EVENT) WSACloseEvent(readable_);
}

ListenResult TcpListener::Open(uint16_t port, int backlog, int* error) {
  if (error) *error = 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return ListenResult::SocketFailed;
  listen_ = s;
  // Nobody else may take the port from under us (the default lets them).
  BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return ListenResult::BindFailed;
  }
  if (listen(s, backlog) != 0) {
    if (error) *error = WSAGetLastError();
    return ListenResult::ListenFailed;
  }
  return ListenResult::Ok;
}

uint16_t TcpListener::BoundPort() const {
  if (listen_ == kInvalidSocket) return 0;
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// Only the serving thread waits here, so one event serves the listening
// socket and the connection in turn.
TcpListener::Ready TcpListener::WaitReadable(SocketHandle socket, bool wakeable) {
  if (readable_ == WSA_INVALID_EVENT || !IsValidFileHandle(stop_)) return Ready::Stopped;
  long mask = socket == listen_ ? FD_ACCEPT : (FD_READ | FD_CLOSE);
  if (WSAEventSelect(socket, readable_, mask) != 0) return Ready::Stopped;
  const DWORD count = wakeable && IsValidFileHandle(wake_) ? 3 : 2;
  for (;;) {
    // Clears what was recorded; whatever arrives after the check below sets the event again.
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(socket, readable_, &events);
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return Ready::Stopped;
    if (ReadableNow(socket)) return Ready::Readable;
    HANDLE waits[3] = {readable_, stop_, wake_};
    DWORD r = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 2) return Ready::Woken;
    if (r != WAIT_OBJECT_0) return Ready::Stopped;
  }
}

SocketHandle TcpListener::Accept() {
  if (listen_ == kInvalidSocket) return kInvalidSocket;
  for (;;) {
    if (WaitReadable(listen_, false) != Ready::Readable) return kInvalidSocket;
    SOCKET s = accept(listen_, nullptr, nullptr);
    if (s == INVALID_SOCKET) {
      // A connection that went away before it was taken is not a failure.
      int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK || e == WSAECONNRESET || e == WSAEINTR) continue;
      return kInvalidSocket;
    }
    // The listener's event selection is inherited; the connection gets its own in Receive.
    WSAEventSelect(s, nullptr, 0);
    // OpenVPN writes its lines in small pieces: answer each at once.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // A small fixed send buffer makes a peer that stops reading show at once.
    int sendBuffer = 16384;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer);
    // Sends must never block (see Send); event selection would do the same for Receive.
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return s;
  }
}

long TcpListener::Receive(SocketHandle socket, char* buffer, size_t size) {
  if (socket == kInvalidSocket) return -1;
  int want = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  for (;;) {
    switch (WaitReadable(socket, true)) {
      case Ready::Stopped:
        return -1;
      case Ready::Woken:
        return kWoken;
      case Ready::Readable:
        break;
    }
    int n = recv(socket, buffer, want, 0);
    if (n >= 0) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
  }
}

long TcpListener::Send(SocketHandle socket, const char* bytes, size_t length, int boundMs) {
  if (socket == kInvalidSocket) return -1;
  if (length == 0) return 0;
  // One overlapped send: the receiving thread owns the socket's event
  // selection, so the wait for a slow peer is on the send's own event.
  HANDLE sent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!sent) return -1;
  const DWORD bound = static_cast<DWORD>(boundMs > 0 ? boundMs : 0);
  size_t done = 0;
  while (done < length) {
    size_t left = length - done;
    WSABUF piece{static_cast<ULONG>(left > 0x10000 ? 0x10000 : left), const_cast<char*>(bytes + done)};
    WSAOVERLAPPED overlapped{};
    overlapped.hEvent = sent;
    DWORD count = 0;
    if (WSASend(socket, &piece, 1, &count, 0, &overlapped, nullptr) != 0) {
      if (WSAGetLastError() != WSA_IO_PENDING) break;
      HANDLE waits[2] = {sent, stop_};
      if (WaitForMultipleObjects(2, waits, FALSE, bound) != WAIT_OBJECT_0)
        CancelIoEx(reinterpret_cast<HANDLE>(socket), &overlapped);
      DWORD flags = 0;
      // Waits for the cancel to land; what went before it still counts.
      if (!WSAGetOverlappedResult(socket, &overlapped, &count, TRUE, &flags)) {
        done += count;
        break;
      }
    }
    if (count == 0) break;
    done += count;
  }
  CloseHandle(sent);
  if (done == 0) return -1;
  return static_cast<long>(done);
}

void TcpListener::CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) closesocket(socket);
}

void TcpListener::Wake() {
  if (IsValidFileHandle(wake_)) SetEvent(wake_);
}

void TcpListener::Stop() {
  if (IsValidFileHandle(stop_)) SetEvent(stop_);
}

bool TcpListener::Stopped() const { return IsValidFileHandle(stop_) && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }

}  // namespace platform
