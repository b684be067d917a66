#pragma once
// A TCP client on loopback for tests of the management port: from a chosen
// loopback source address, with a small receive buffer when a test needs one
// that fills quickly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace qvtest {

// A connected descriptor, or -1.
inline int ConnectLoopback(uint16_t port, uint32_t from = htonl(INADDR_LOOPBACK), int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = from;
  bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace qvtest
