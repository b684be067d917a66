#include "platform/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

TcpListener::TcpListener() {
  stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TcpListener::~TcpListener() {
  if (listen_ >= 0) close(listen_);
  if (stop_ >= 0) close(stop_);
  if (wake_ >= 0) close(wake_);
}

ListenResult TcpListener::Open(uint16_t port, int backlog, int* error) {
  if (error) *error = 0;
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (listen_ < 0) return ListenResult::SocketFailed;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Linux refuses the port while an earlier connection of ours lingers in
  // TIME_WAIT (a restarted program, a closed management connection); this is
  // the default elsewhere and still allows only one listener.
  int one = 1;
  setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return ListenResult::BindFailed;
  }
  if (listen(listen_, backlog) != 0) {
    if (error) *error = errno;
    return ListenResult::ListenFailed;
  }
  return ListenResult::Ok;
}

uint16_t TcpListener::BoundPort() const {
  if (listen_ < 0) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

TcpListener::Ready TcpListener::WaitReadable(SocketHandle fd, bool wakeable) {
  for (;;) {
    // A missing stop or wake descriptor (-1) is skipped by poll.
    pollfd fds[3] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}, {wakeable ? wake_ : -1, POLLIN, 0}};
    int n = poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Ready::Stopped;
    }
    if (fds[1].revents) return Ready::Stopped;
    if (fds[2].revents) {
      uint64_t count;
      ssize_t r = read(wake_, &count, sizeof count);
      (void)r;
      return Ready::Woken;
    }
    return Ready::Readable;
  }
}

SocketHandle TcpListener::Accept() {
  if (listen_ < 0) return kInvalidSocket;
  for (;;) {
    if (WaitReadable(listen_, false) != Ready::Readable) return kInvalidSocket;
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // A connection that went away before it was taken is not a failure.
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      return kInvalidSocket;
    }
    // OpenVPN writes its lines in small pieces; without these the delayed ACK
    // of loopback holds each exchange back by about 40 ms.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    // Our commands are a few short lines: a small fixed send buffer (no
    // autotuning) makes a peer that stops reading show at once.
    int sendBuffer = 16384;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return fd;
  }
}

long TcpListener::Receive(SocketHandle socket, char* buffer, size_t size) {
  if (socket < 0) return -1;
  switch (WaitReadable(socket, true)) {
    case Ready::Stopped:
      return -1;
    case Ready::Woken:
      return kWoken;
    case Ready::Readable:
      break;
  }
  ssize_t n;
  do {
    n = recv(socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  // The kernel leaves quick-ACK mode on its own; stay in it for the next line.
  int one = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  return n;
}

namespace {

long NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

}  // namespace

long TcpListener::Send(SocketHandle socket, const char* bytes, size_t length, int boundMs) {
  if (socket < 0) return -1;
  const long deadline = NowMs() + boundMs;
  size_t done = 0;
  while (done < length) {
    // Never block in send: a peer that stops reading would hold this thread for ever.
    ssize_t n = send(socket, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd fds[2] = {{socket, POLLOUT, 0}, {stop_, POLLIN, 0}};
    int ready = poll(fds, stop_ >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && fds[1].revents) break;
  }
  if (done == 0 && length > 0) return -1;
  return static_cast<long>(done);
}

void TcpListener::CloseSocket(SocketHandle socket) {
  if (socket >= 0) close(socket);
}

void TcpListener::Wake() {
  uint64_t one = 1;
  ssize_t n = write(wake_, &one, sizeof one);
  (void)n;
}

void TcpListener::Stop() {
  uint64_t one = 1;
  ssize_t n = write(stop_, &one, sizeof one);
  (void)n;
}

bool TcpListener::Stopped() const {
  pollfd p{stop_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

}  // namespace platform
