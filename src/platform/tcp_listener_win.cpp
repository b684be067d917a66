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

bool WritableWithin(SOCKET s, long ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval t{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  return select(0, nullptr, &set, nullptr, &t) > 0;
}

}  // namespace

TcpListener::TcpListener() {
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  readable_ = WSACreateEvent();
}

TcpListener::~TcpListener() {
  if (listen_ != kInvalidSocket) closesocket(listen_);
  if (IsValidFileHandle(stop_)) CloseHandle(stop_);
  if (readable_ != WSA_INVALID_EVENT) WSACloseEvent(readable_);
}

ListenResult TcpListener::Open(uint16_t port, int backlog, int* error) {
  if (error) *error = 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return ListenResult::SocketFailed;
  listen_ = s;
  // Nobody else may take the port from under us (the default lets them).
  BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
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
bool TcpListener::WaitReadable(SocketHandle socket) {
  if (readable_ == WSA_INVALID_EVENT || !IsValidFileHandle(stop_)) return false;
  long mask = socket == listen_ ? FD_ACCEPT : (FD_READ | FD_CLOSE);
  if (WSAEventSelect(socket, readable_, mask) != 0) return false;
  for (;;) {
    // Clears what was recorded; whatever arrives after the check below sets the event again.
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(socket, readable_, &events);
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return false;
    if (ReadableNow(socket)) return true;
    HANDLE waits[2] = {readable_, stop_};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1) return false;
    if (r != WAIT_OBJECT_0) return false;
  }
}

SocketHandle TcpListener::Accept() {
  if (listen_ == kInvalidSocket) return kInvalidSocket;
  for (;;) {
    if (!WaitReadable(listen_)) return kInvalidSocket;
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
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
               sizeof sendBuffer);
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
    if (!WaitReadable(socket)) return -1;
    int n = recv(socket, buffer, want, 0);
    if (n >= 0) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
  }
}

long TcpListener::Send(SocketHandle socket, const char* bytes, size_t length, int boundMs) {
  if (socket == kInvalidSocket) return -1;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(boundMs > 0 ? boundMs : 0);
  size_t done = 0;
  while (done < length) {
    size_t left = length - done;
    int piece = left > 0x10000 ? 0x10000 : static_cast<int>(left);
    int n = send(socket, bytes + done, piece, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) break;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    // The receiving thread owns the socket's event selection, so the wait for
    // room is a select in short slices that also notice Stop.
    long slice = static_cast<long>(deadline - now);
    if (slice > 50) slice = 50;
    WritableWithin(socket, slice);
  }
  if (done == 0 && length > 0) return -1;
  return static_cast<long>(done);
}

void TcpListener::CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) closesocket(socket);
}

void TcpListener::Stop() {
  if (IsValidFileHandle(stop_)) SetEvent(stop_);
}

bool TcpListener::Stopped() const {
  return IsValidFileHandle(stop_) && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
}

}  // namespace platform
