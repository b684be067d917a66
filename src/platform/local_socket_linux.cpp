#include "platform/local_socket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

LocalSocket::~LocalSocket() { Close(); }

LocalConnectResult LocalSocket::Connect(const char* path, int busyWaitMs) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = path ? std::strlen(path) : 0;
  if (length == 0 || length >= sizeof address.sun_path) return LocalConnectResult::Failed;
  std::memcpy(address.sun_path, path, length + 1);

  handle_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!handle_.is_valid()) return LocalConnectResult::Failed;
  const int fd = handle_.get();
  // A blocking connect to a full backlog sleeps until the listener accepts
  // or the send timeout runs out: exactly the bounded wait for a free slot.
  timeval timeout{};
  timeout.tv_sec = busyWaitMs / 1000;
  timeout.tv_usec = (busyWaitMs % 1000) * 1000;
  if (busyWaitMs <= 0) timeout.tv_usec = 1;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

  int r;
  do {
    r = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return LocalConnectResult::Connected;
  int error = errno;
  Close();
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return LocalConnectResult::Absent;
    case EAGAIN:
      return LocalConnectResult::Busy;
    default:
      return LocalConnectResult::Failed;
  }
}

bool LocalSocket::Write(const void* bytes, size_t length) {
  if (!handle_.is_valid()) return false;
  const int fd = handle_.get();
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void LocalSocket::Close() { handle_.reset(); }

}  // namespace platform
