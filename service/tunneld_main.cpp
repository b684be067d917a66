// quorvanta-tunneld: the tunnel service. Serves the service socket, accepts
// one tunnel request per connection and runs OpenVPN with it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "request_validator.h"
#include "supervisor.h"

using tunneld::Log;

namespace {

constexpr int kRequestTimeoutMs = 5000;
constexpr int kDefaultStopTimeoutMs = 5000;

struct Options {
  const char* socketPath = nullptr;
  const char* configDir = "/etc/quorvanta";
  const char* openvpn = "/usr/sbin/openvpn";
  int stopTimeoutMs = kDefaultStopTimeoutMs;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: quorvanta-tunneld [--socket PATH] [--config-dir DIR] [--openvpn PATH]\n"
               "                         [--stop-timeout MS]\n"
               "  --socket      the service socket (default $QUORVANTA_PIPE, else "
               "/run/quorvanta/QuorvantaPipe)\n"
               "  --config-dir  where config.qvpn lives; OpenVPN runs there (default /etc/quorvanta)\n"
               "  --openvpn     the OpenVPN binary (default /usr/sbin/openvpn)\n"
               "  --stop-timeout  how long OpenVPN may take to exit after SIGTERM before SIGKILL "
               "(default 5000)\n");
}

bool ParseOptions(int argc, char** argv, Options* o) {
  const char* env = std::getenv("QUORVANTA_PIPE");
  o->socketPath = env && *env ? env : "/run/quorvanta/QuorvantaPipe";
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (std::strcmp(a, "--socket") == 0) o->socketPath = v;
    else if (std::strcmp(a, "--config-dir") == 0) o->configDir = v;
    else if (std::strcmp(a, "--openvpn") == 0) o->openvpn = v;
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

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  if (listen(fd, 16) != 0) {
    Log("listen: %s", std::strerror(errno));
    close(fd);
    unlink(path);
    return -1;
  }
  return fd;
}

long MsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

// Writes the request in printable form for the log, cut at 300 bytes.
void Printable(const unsigned char* data, size_t size, char* out, size_t outSize) {
  size_t o = 0;
  for (size_t i = 0; i < size && o + 5 < outSize; ++i) {
    if (i == 300) {
      o += static_cast<size_t>(std::snprintf(out + o, outSize - o, "..."));
      break;
    }
    unsigned char c = data[i];
    if (c >= 0x20 && c < 0x7f && c != '\\') out[o++] = static_cast<char>(c);
    else o += static_cast<size_t>(std::snprintf(out + o, outSize - o, "\\x%02x", c));
  }
  out[o] = '\0';
}

// Reads one connection to its end: the client writes its request and closes.
// Nothing written is the availability probe.
void ServeConnection(int fd) {
  unsigned char buf[tunneld::kMaxRequestSize + 1];
  size_t size = 0;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool eof = false;
  while (!eof) {
    long left = kRequestTimeoutMs - MsSince(start);
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    ssize_t got = read(fd, buf + size, sizeof buf - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Log("refused request: read: %s", std::strerror(errno));
      return;
    }
    if (got == 0) eof = true;
    size += static_cast<size_t>(got);
    if (size > tunneld::kMaxRequestSize) {
      Log("refused request: longer than %zu bytes", tunneld::kMaxRequestSize);
      return;
    }
  }
  if (size == 0 && eof) return;  // the probe
  if (!eof) {
    Log("refused request: the client did not finish within %d ms (%zu bytes read)", kRequestTimeoutMs,
        size);
    return;
  }
  tunneld::TunnelCommand command;
  if (const char* reason = tunneld::ValidateTunnelRequest(buf, size, &command)) {
    char shown[1400];
    Printable(buf, size, shown, sizeof shown);
    Log("refused request (%s): %s", reason, shown);
    return;
  }
  tunneld::RunTunnel(command);
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

  int listenFd = Listen(options.socketPath);
  if (listenFd < 0) return 1;
  tunneld::StartSupervisor({options.openvpn, options.configDir, options.stopTimeoutMs});
  Log("serving %s; OpenVPN %s in %s", options.socketPath, options.openvpn, options.configDir);

  for (;;) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {sigFd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
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
    if (p[0].revents & POLLIN) {
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;  // the client may already be gone
      ServeConnection(fd);
      close(fd);
    }
  }
  tunneld::StopTunnel("the service is stopping");
  close(listenFd);
  unlink(options.socketPath);
  return 0;
}
