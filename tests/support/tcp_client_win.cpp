#include "support/tcp_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace qvtest {

namespace {

// Winsock stays started for the test process's life.
bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

bool WaitFor(SOCKET s, bool write, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &t) > 0;
}

}  // namespace

bool TcpClient::Connect(uint16_t port, int receiveBuffer) {
  Close();
  if (!SocketsStarted()) return false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  if (receiveBuffer)
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closesocket(s);
    return false;
  }
  socket_ = static_cast<intptr_t>(s);
  return true;
}

bool TcpClient::Write(const std::string& text) {
  const SOCKET s = static_cast<SOCKET>(socket_);
  return send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
}

std::string TcpClient::Read(size_t want, int timeoutMs) {
  const SOCKET s = static_cast<SOCKET>(socket_);
  std::string got;
  while (got.size() < want) {
    if (!WaitFor(s, false, timeoutMs)) break;
    char buffer[512];
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool TcpClient::PeerClosed(int timeoutMs) {
  const SOCKET s = static_cast<SOCKET>(socket_);
  if (!WaitFor(s, false, timeoutMs)) return false;
  char c;
  return recv(s, &c, 1, 0) <= 0;
}

void TcpClient::FloodWithoutReading(const std::string& line) {
  const SOCKET s = static_cast<SOCKET>(socket_);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  for (int stalls = 0; stalls < 1;) {
    int n = send(s, line.data(), static_cast<int>(line.size()), 0);
    if (n > 0) continue;
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) break;
    if (!WaitFor(s, true, 300)) ++stalls;
  }
  nonBlocking = 0;
  ioctlsocket(s, FIONBIO, &nonBlocking);
}

std::string TcpClient::KernelState() const { return ""; }

void TcpClient::Close() {
  if (socket_ != -1) closesocket(static_cast<SOCKET>(socket_));
  socket_ = -1;
}

}  // namespace qvtest
