#include "socket_server_linux.h"

#include <errno.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "caller_identity_linux.h"
#include "connection_slots_linux.h"
#include "supervisor.h"

namespace tunneld {

namespace {

// Creates every missing directory above the socket (mode 0755).
bool MakeParents(const char* path) {
  char dir[sizeof(sockaddr_un::sun_path)];
  std::snprintf(dir, sizeof dir, "%s", path);
  for (char* p = dir + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
      Log("cannot create %s: %s", dir, std::strerror(errno));
      return false;
    }
    *p = '/';
  }
  return true;
}

// Takes every waiting connection, with its caller.
void AcceptAll(int listenFd) {
  for (;;) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // none left (or the client is already gone)
    CallerIdentity caller;
    if (!PeerIdentity(fd, &caller)) {
      close(fd);
      continue;
    }
    Admit(fd, caller);
  }
}

}  // namespace

int Listen(const char* path) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof addr.sun_path) {
    Log("socket path too long: %s", path);
    return -1;
  }
  std::memcpy(addr.sun_path, path, std::strlen(path) + 1);
  if (!MakeParents(path)) return -1;

  struct stat st;
  if (lstat(path, &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      Log("%s exists and is not a socket; not replacing it", path);
      return -1;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      close(probe);
      Log("another service is already serving %s", path);
      return -1;
    }
    if (probe >= 0) close(probe);
    unlink(path);  // stale: left by a service that died
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    Log("socket: %s", std::strerror(errno));
    return -1;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Log("cannot bind %s: %s", path, std::strerror(errno));
    close(fd);
    return -1;
  }
  // The front end runs as the desktop user.
  if (chmod(path, 0666) != 0) Log("cannot make %s world-writable: %s", path, std::strerror(errno));
  if (listen(fd, SOMAXCONN) != 0) {
    Log("listen: %s", std::strerror(errno));
    close(fd);
    unlink(path);
    return -1;
  }
  return fd;
}

bool ServeSocket(int listenFd, int stopFd) {
  for (;;) {
    pollfd p[2 + kMaxConnections];
    Connection* polled[kMaxConnections];
    p[0] = {listenFd, POLLIN, 0};
    p[1] = {stopFd, POLLIN, 0};
    int wait = -1;
    const int open = PollOpenConnections(p + 2, polled, &wait);
    if (poll(p, static_cast<nfds_t>(2 + open), wait) < 0) {
      if (errno == EINTR) continue;
      Log("poll: %s", std::strerror(errno));
      return false;
    }
    if (p[1].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        Log("SIG%s received; shutting down", sigabbrev_np(static_cast<int>(info.ssi_signo)));
      }
      return true;
    }
    ServeConnections(p + 2, polled, open);
    if (p[0].revents & POLLIN) AcceptAll(listenFd);
  }
}

}  // namespace tunneld
