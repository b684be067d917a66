// quorvanta-tunneld on Linux: serves the service socket, accepts one tunnel
// request per connection and runs OpenVPN with it. This file is the service's
// control: signals, start-up checks, and the order of start and stop.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "socket_server_linux.h"
#include "supervisor.h"
#include "tunneld_options_linux.h"

using tunneld::Log;

int main(int argc, char** argv) {
  tunneld::ServiceOptions options;
  if (!tunneld::ParseOptions(argc, argv, &options)) {
    tunneld::Usage(stderr);
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

  // The DNS hook keeps what it applied beside the socket.
  static char stateDir[sizeof(sockaddr_un::sun_path)];
  std::snprintf(stateDir, sizeof stateDir, "%s", options.socketPath);
  if (char* slash = std::strrchr(stateDir, '/')) *slash = '\0';
  tunneld::CheckDnsHook(&options, stateDir);

  int listenFd = tunneld::Listen(options.socketPath);
  if (listenFd < 0) return 1;
  if (!tunneld::StartSupervisor(
          {options.openvpn, options.configDir, options.stopTimeoutMs, options.dnsHook, stateDir})) {
    close(listenFd);
    unlink(options.socketPath);
    return 1;
  }
  Log("serving %s; OpenVPN %s in %s", options.socketPath, options.openvpn, options.configDir);
  tunneld::ServeSocket(listenFd, sigFd);
  tunneld::StopTunnel("the service is stopping");
  close(listenFd);
  unlink(options.socketPath);
  return 0;
}
