// quorvanta-tunneld on Linux: serves the service socket, accepts one tunnel
// request per connection and runs OpenVPN with it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "caller_identity.h"
#include "platform/environment.h"
#include "request_validator.h"
#include "supervisor.h"

using tunneld::kDefaultStopTimeoutMs;
using tunneld::kMaxConnections;
using tunneld::kMaxPerUser;
using tunneld::kRequestTimeoutMs;
using tunneld::Log;
using tunneld::LogRefused;

namespace {

struct Options {
  const char* socketPath = nullptr;
  const char* configDir = "/etc/quorvanta";
  const char* openvpn = "/usr/sbin/openvpn";
  const char* dnsHook = "/usr/lib/quorvanta/dns-hook";
  int stopTimeoutMs = kDefaultStopTimeoutMs;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: quorvanta-tunneld [--socket PATH] [--config-dir DIR] [--openvpn PATH]\n"
               "                         [--dns-hook PATH] [--stop-timeout MS]\n"
               "  --socket      the service socket (default $QUORVANTA_PIPE, else "
               "/run/quorvanta/QuorvantaPipe)\n"
               "  --config-dir  where config.qvpn lives; OpenVPN runs there (default /etc/quorvanta)\n"
               "  --openvpn     the OpenVPN binary (default /usr/sbin/openvpn)\n"
               "  --dns-hook    OpenVPN's route-up and down script that applies the pushed DNS\n"
               "                (default /usr/lib/quorvanta/dns-hook; \"none\" for no hook)\n"
               "  --stop-timeout  how long OpenVPN may take to exit after SIGTERM before SIGKILL "
               "(default 5000)\n");
}

bool ParseOptions(int argc, char** argv, Options* o) {
  const char* env = std::getenv("QUORVANTA_PIPE");
  o->socketPath = env && *env ? env : platform::DefaultServiceEndpoint();
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (std::strcmp(a, "--socket") == 0)
      o->socketPath = v;
    else if (std::strcmp(a, "--config-dir") == 0)
      o->configDir = v;
    else if (std::strcmp(a, "--openvpn") == 0)
      o->openvpn = v;
    else if (std::strcmp(a, "--dns-hook") == 0)
      o->dnsHook = std::strcmp(v, "none") == 0 ? nullptr : v;
    else if (std::strcmp(a, "--stop-timeout") == 0) {
      char* end;
      long ms = std::strtol(v, &end, 10);
      if (*end || ms < 1 || ms > 600000) return false;
      o->stopTimeoutMs = static_cast<int>(ms);
    } else {
      return false;
    }
  }
  return true;
}

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

// One client connection: the client writes its request and closes; nothing
// written is the availability probe. Connections are served side by side, so
// a client that stalls holds only its own slot until its deadline.
struct Connection {
  int fd = -1;
  uid_t uid = 0;
  tunneld::CallerIdentity caller;
  long deadline = 0;  // ms on the monotonic clock
  size_t size = 0;
  unsigned char buf[tunneld::kMaxRequestSize + 1];
};

Connection g_connections[kMaxConnections];

long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void Drop(Connection& c) {
  close(c.fd);
  c.fd = -1;
}

void Finish(Connection& c) {
  Drop(c);
  if (c.size == 0) return;  // the probe
  tunneld::TunnelCommand command;
  if (const char* reason = tunneld::ValidateTunnelRequest(c.buf, c.size, &command)) {
    char shown[1400];
    tunneld::Printable(c.buf, c.size, shown, sizeof shown);
    LogRefused(c.caller, "refused request from uid %u (%s): %s", static_cast<unsigned>(c.uid), reason, shown);
    return;
  }
  tunneld::RunTunnel(command, c.caller);
}

// Reads what has arrived; the connection ends at its end of file. true when
// bytes were read and the connection is still open.
bool ReadSome(Connection& c) {
  ssize_t got = read(c.fd, c.buf + c.size, sizeof c.buf - c.size);
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN) return false;
    LogRefused(c.caller, "refused request from uid %u: read: %s", static_cast<unsigned>(c.uid), std::strerror(errno));
    Drop(c);
    return false;
  }
  if (got == 0) {
    Finish(c);
    return false;
  }
  c.size += static_cast<size_t>(got);
  if (c.size > tunneld::kMaxRequestSize) {
    LogRefused(c.caller, "refused request from uid %u: longer than %zu bytes", static_cast<unsigned>(c.uid),
               tunneld::kMaxRequestSize);
    Drop(c);
    return false;
  }
  return true;
}

// Takes every waiting connection. One user holds at most kMaxPerUser open
// connections; when the table is full the oldest connection gives way.
void AcceptAll(int listenFd) {
  for (;;) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // none left (or the client is already gone)
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      Log("refused connection: no peer credentials: %s", std::strerror(errno));
      close(fd);
      continue;
    }
    // Most clients have written and closed already: serve them at once, so
    // only a connection still open takes a slot.
    Connection now;
    now.fd = fd;
    now.uid = cred.uid;
    std::snprintf(now.caller.name, sizeof now.caller.name, "uid %u", static_cast<unsigned>(cred.uid));
    now.caller.privileged = cred.uid == 0;
    now.caller.uid = cred.uid;
    now.caller.pid = cred.pid;
    while (ReadSome(now)) {
    }
    if (now.fd < 0) continue;
    int mine = 0;
    Connection* free = nullptr;
    Connection* oldest = nullptr;
    for (Connection& c : g_connections) {
      if (c.fd < 0) {
        if (!free) free = &c;
        continue;
      }
      if (c.uid == cred.uid) ++mine;
      if (!oldest || c.deadline < oldest->deadline) oldest = &c;
    }
    if (mine >= kMaxPerUser) {
      LogRefused(now.caller, "refused connection from uid %u: it already holds %d open connections",
                 static_cast<unsigned>(cred.uid), mine);
      close(fd);
      continue;
    }
    if (!free) {
      Log("dropped the oldest connection (uid %u, %zu bytes read): %d connections are open",
          static_cast<unsigned>(oldest->uid), oldest->size, kMaxConnections);
      Drop(*oldest);
      free = oldest;
    }
    std::memcpy(free->buf, now.buf, now.size);
    free->fd = fd;
    free->uid = cred.uid;
    free->caller = now.caller;
    free->size = now.size;
    free->deadline = NowMs() + kRequestTimeoutMs;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(stderr);
    return 2;
  }
  // SIGTERM and SIGINT are read from a descriptor; threads started later
  // inherit the mask and OpenVPN gets it cleared before execve.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (sigFd < 0) {
    Log("signalfd: %s", std::strerror(errno));
    return 1;
  }

  char configFile[4096];
  std::snprintf(configFile, sizeof configFile, "%s/config.qvpn", options.configDir);
  if (access(configFile, R_OK) != 0) Log("warning: %s: %s", configFile, std::strerror(errno));
  if (access(options.openvpn, X_OK) != 0) Log("warning: %s: %s", options.openvpn, std::strerror(errno));

  // The hook runs as root: only a file that nobody but root (or the service's
  // own user, in tests) could have changed. OpenVPN splits its command at spaces.
  static char stateDir[sizeof(sockaddr_un::sun_path)];
  std::snprintf(stateDir, sizeof stateDir, "%s", options.socketPath);
  if (char* slash = std::strrchr(stateDir, '/')) *slash = '\0';
  if (options.dnsHook) {
    struct stat st;
    if (lstat(options.dnsHook, &st) != 0) {
      Log("the DNS hook %s is missing (%s): the DNS servers the VPN pushes are not applied", options.dnsHook,
          std::strerror(errno));
      options.dnsHook = nullptr;
    } else if (options.dnsHook[0] != '/' || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()) ||
               (st.st_mode & 022) != 0 || std::strchr(options.dnsHook, ' ') || std::strchr(stateDir, ' ') ||
               !*stateDir) {
      Log("not using the DNS hook %s: it must be an absolute path to a file only its owner (root) may "
          "change, and neither it nor %s may hold a space",
          options.dnsHook, stateDir);
      options.dnsHook = nullptr;
    }
  }

  int listenFd = Listen(options.socketPath);
  if (listenFd < 0) return 1;
  if (!tunneld::StartSupervisor(
          {options.openvpn, options.configDir, options.stopTimeoutMs, options.dnsHook, stateDir})) {
    close(listenFd);
    unlink(options.socketPath);
    return 1;
  }
  Log("serving %s; OpenVPN %s in %s", options.socketPath, options.openvpn, options.configDir);

  for (;;) {
    pollfd p[2 + kMaxConnections];
    Connection* polled[kMaxConnections];
    int n = 2, open = 0;
    p[0] = {listenFd, POLLIN, 0};
    p[1] = {sigFd, POLLIN, 0};
    long now = NowMs();
    long wait = -1;
    for (Connection& c : g_connections) {
      if (c.fd < 0) continue;
      polled[open++] = &c;
      p[n++] = {c.fd, POLLIN, 0};
      long left = c.deadline - now;
      if (left < 0) left = 0;
      if (wait < 0 || left < wait) wait = left;
    }
    if (poll(p, static_cast<nfds_t>(n), static_cast<int>(wait)) < 0) {
      if (errno == EINTR) continue;
      Log("poll: %s", std::strerror(errno));
      break;
    }
    if (p[1].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        Log("SIG%s received; shutting down", sigabbrev_np(static_cast<int>(info.ssi_signo)));
      }
      break;
    }
    for (int i = 0; i < open; ++i) {
      if (p[2 + i].revents) ReadSome(*polled[i]);
    }
    now = NowMs();
    for (Connection& c : g_connections) {
      if (c.fd < 0 || c.deadline > now) continue;
      // What came while a tunnel was being started still counts.
      while (ReadSome(c)) {
      }
      if (c.fd < 0) continue;
      LogRefused(c.caller, "refused request from uid %u: the client did not finish within %d ms (%zu bytes read)",
                 static_cast<unsigned>(c.uid), kRequestTimeoutMs, c.size);
      Drop(c);
    }
    if (p[0].revents & POLLIN) AcceptAll(listenFd);
  }
  tunneld::StopTunnel("the service is stopping");
  close(listenFd);
  unlink(options.socketPath);
  return 0;
}
