#include "support/tcp_client.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qvtest {

bool TcpClient::Connect(uint16_t port, int receiveBuffer) {
  Close();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return false;
  }
  socket_ = fd;
  return true;
}

bool TcpClient::Write(const std::string& text) {
  const int fd = static_cast<int>(socket_);
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string TcpClient::Read(size_t want, int timeoutMs) {
  const int fd = static_cast<int>(socket_);
  std::string got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool TcpClient::PeerClosed(int timeoutMs) {
  const int fd = static_cast<int>(socket_);
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char c;
  // Unread bytes on the server's side turn its close into a reset.
  return recv(fd, &c, 1, 0) <= 0;
}

void TcpClient::FloodWithoutReading(const std::string& line) {
  const int fd = static_cast<int>(socket_);
  for (int stalls = 0; stalls < 1;) {
    ssize_t n = send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 300) == 0) ++stalls;
  }
}

std::string TcpClient::KernelState() const {
  const int fd = static_cast<int>(socket_);
  tcp_info info{};
  socklen_t size = sizeof info;
  int unsent = -1, unread = -1;
  if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return "";
  ioctl(fd, SIOCOUTQ, &unsent);
  ioctl(fd, SIOCINQ, &unread);
  char text[256];
  std::snprintf(text, sizeof text,
                "client tcp state %u, unsent %d, unread %d, unacked %u, retransmits %u, probes %u, "
                "backoff %u, rto %u us, total retransmits %u",
                info.tcpi_state, unsent, unread, info.tcpi_unacked, info.tcpi_retransmits, info.tcpi_probes,
                info.tcpi_backoff, info.tcpi_rto, info.tcpi_total_retrans);
  return text;
}

void TcpClient::Close() {
  if (socket_ >= 0) close(static_cast<int>(socket_));
  socket_ = -1;
}

}  // namespace qvtest
