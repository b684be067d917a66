// Linux half of the supervisor: fork and execve in the configuration
// directory, SIGTERM then SIGKILL, waitid to wait and waitpid to reap.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firewall.h"
#include "openvpn_process.h"
#include "platform/socket_owner.h"

namespace tunneld {

const char* const kAskToExitName = "SIGTERM";
const char* const kForceEndAction = "sending SIGKILL";
const char* const kForceEndName = "SIGKILL";
const bool kStopSetsExitEvent = false;

namespace {

// OpenVPN that exits this soon after its start never got going.
constexpr auto kStartupFailureWindow = std::chrono::milliseconds(3000);

const char* SignalName(int sig) {
  const char* name = sigabbrev_np(sig);
  return name ? name : "?";
}

// The child side of fork(): only async-signal-safe calls until execve.
[[noreturn]] void ExecChild(const char* dir, char* const* argv, char* const* envp, int errorFd, pid_t service) {
  // OpenVPN must never outlive the service that watches its exit event, however
  // the service ends; SIGTERM lets it take its routes and DNS down first. The
  // signal follows the forking thread: the request loop's, which lives as long
  // as the service.
  int err = 0;
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
    err = errno;
  } else if (getppid() != service) {
    // The service died between fork and prctl: nobody would ever stop us.
    err = ESRCH;
  }
  if (err != 0) {
    ssize_t ignored = write(errorFd, &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across execve
  if (chdir(dir) != 0) {
    err = errno;
  } else {
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != 0) {
      dup2(null, 0);
      close(null);
    }
    dup2(2, 1);  // OpenVPN writes its option errors to stdout: keep them in the log
    execve(argv[0], argv, envp);
    err = errno;
  }
  ssize_t ignored = write(errorFd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

}  // namespace

void WriteLogLine(const char* line, size_t size) {
  ssize_t ignored = write(2, line, size);
  (void)ignored;
}

const char* LastErrorText() { return std::strerror(errno); }

bool SpawnOpenVpn(const SupervisorOptions& options, const TunnelCommand& command, const SpawnExtras& extras,
                  OpenVpnProcess* out, char* shown, size_t shownSize) {
  char* argv[kMaxRequestArgs + 24];
  int n = 0;
  argv[n++] = const_cast<char*>(options.openvpn);
  for (int i = 0; i < command.argc; ++i) {
    const bool host = i > 0 && std::strcmp(command.Arg(i - 1), "--remote") == 0;
    argv[n++] = const_cast<char*>(host && extras.remoteHost ? extras.remoteHost : command.Arg(i));
  }
  // Under the block: OpenVPN's packets carry the mark that lets them out, and
  // the tunnel has a name of its own that the block lets everything through.
  static char markOption[] = "--mark", devOption[] = "--dev", devTypeOption[] = "--dev-type", tun[] = "tun";
  static char mark[16], device[16];
  if (extras.block) {
    std::snprintf(mark, sizeof mark, "%u", kOpenVpnMark);
    std::snprintf(device, sizeof device, "%s", kTunnelDevice);
    char* added[] = {markOption, mark, devOption, device, devTypeOption, tun};
    for (char* a : added) argv[n++] = a;
  }
  // The service's own hooks, after the request: they apply the pushed DNS to
  // the tunnel's link and take it away again. A request never names a script.
  char hook[600];
  static char scriptSecurity[] = "--script-security", level[] = "2", routeUp[] = "--route-up", down[] = "--down",
              downPre[] = "--down-pre", setenvOption[] = "--setenv", busName[] = "DBUS_SYSTEM_BUS_ADDRESS";
  if (options.dnsHook) {
    std::snprintf(hook, sizeof hook, "%s %s", options.dnsHook, options.stateDir);
    char* added[] = {scriptSecurity, level, routeUp, hook, down, hook, downPre};
    for (char* a : added) argv[n++] = a;
    // The system bus the service was given (a test's private one) reaches the hook too.
    if (char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
      argv[n++] = setenvOption;
      argv[n++] = busName;
      argv[n++] = bus;
    }
  }
  argv[n] = nullptr;
  // OpenVPN gets a plain environment, not the service's.
  static char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  static char lang[] = "LC_ALL=C";
  char* envp[] = {path, lang, nullptr};

  size_t used = 0;
  shown[0] = '\0';
  for (int i = 0; i < n && used < shownSize; ++i) {
    int w = std::snprintf(shown + used, shownSize - used, i ? " %s" : "%s", argv[i]);
    if (w < 0) break;
    used += static_cast<size_t>(w);
  }

  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    Log("cannot start OpenVPN: pipe: %s", std::strerror(errno));
    return false;
  }
  const pid_t service = getpid();
  const pid_t pid = fork();
  if (pid == 0) ExecChild(options.configDir, argv, envp, errorPipe[1], service);
  close(errorPipe[1]);
  if (pid < 0) {
    Log("cannot start OpenVPN: fork: %s", std::strerror(errno));
    close(errorPipe[0]);
    return false;
  }
  int err = 0;
  ssize_t got;
  while ((got = read(errorPipe[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(errorPipe[0]);
  if (got > 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    Log("cannot start %s in %s: %s", options.openvpn, options.configDir, std::strerror(err));
    return false;
  }
  out->pid = pid;
  out->native = 0;
  return true;
}

std::unique_ptr<platform::NamedEvent> BindExitEvent(const CallerIdentity* owner) {
  // The running tunnel's event is its user's alone: no stranger can stop it,
  // or hold it set or clear. Old mappings lead to a dead object from then on.
  if (owner && owner->uid >= 0) {
    return platform::NamedEvent::ReplaceForUser(kServiceExitEvent, platform::EventReset::Manual,
                                                static_cast<uint32_t>(owner->uid));
  }
  return platform::NamedEvent::Replace(kServiceExitEvent, platform::EventReset::Manual);
}

void LimitExitEvent(platform::NamedEvent&, const CallerIdentity*) {}

bool ManagementListenerIsCallers(const CallerIdentity& caller, char* why, size_t whySize) {
  uint32_t owners[8];
  int count = 0;
  if (!platform::LoopbackListenerOwners(ManagementPort, owners, 8, &count)) {
    std::snprintf(why, whySize, "the listeners on 127.0.0.1:%hu cannot be looked up: %s", ManagementPort,
                  std::strerror(errno));
    return false;
  }
  if (count == 0) {
    std::snprintf(why, whySize, "nothing listens on 127.0.0.1:%hu for OpenVPN's management", ManagementPort);
    return false;
  }
  for (int i = 0; i < count && i < 8; ++i) {
    if (owners[i] != 0 && static_cast<long long>(owners[i]) != caller.uid) {
      std::snprintf(why, whySize, "127.0.0.1:%hu is held by uid %u, not by the caller", ManagementPort,
                    static_cast<unsigned>(owners[i]));
      return false;
    }
  }
  if (count > 8) {
    std::snprintf(why, whySize, "%d sockets listen on 127.0.0.1:%hu", count, ManagementPort);
    return false;
  }
  return true;
}

void UndoDns(const SupervisorOptions& options) {
  if (!options.dnsHook) return;
  char state[600];
  std::snprintf(state, sizeof state, "%s/dns-link", options.stateDir);
  if (access(state, F_OK) != 0) return;  // the down script has undone it
  const pid_t pid = fork();
  if (pid < 0) {
    Log("cannot undo the DNS of the ended OpenVPN: fork: %s", std::strerror(errno));
    return;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const char* argv[] = {options.dnsHook, options.stateDir, "--cleanup", nullptr};
    execv(options.dnsHook, const_cast<char* const*>(argv));
    _exit(127);
  }
  // Bounded: a hung bus call must not hold the next tunnel back for long.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || poll(&p, 1, 5000) <= 0) {
    Log("the DNS hook did not end within 5000 ms; killing it");
    kill(pid, SIGKILL);
  }
  if (pidfd >= 0) close(pidfd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Log("undid the DNS that the ended OpenVPN had applied (hook status %d)",
      WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

namespace {

// Wakes the session's watcher; made once, before any thread waits on it.
int WakeFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

// The user that owns a live process, -1 when it is gone or hidden from the service.
long long ProcessUid(long pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
  FILE* f = std::fopen(path, "re");
  if (!f) return -1;
  char line[256];
  long long uid = -1;
  while (std::fgets(line, sizeof line, f)) {
    unsigned real = 0;
    if (std::sscanf(line, "Uid: %u", &real) == 1) {
      uid = real;
      break;
    }
  }
  std::fclose(f);
  return uid;
}

}  // namespace

bool OpenPeer(const CallerIdentity& caller, PeerProcess* out) {
  WakeFd();
  if (caller.pid <= 0) return false;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(caller.pid), 0));
  if (fd < 0) return false;
  // Opened after the caller could have ended and its id been reused: the
  // process behind the descriptor must be alive and, where the service may
  // see it (the unit's ProtectProc hides other users' processes), the caller's user's.
  pollfd ended{fd, POLLIN, 0};
  const long long uid = ProcessUid(caller.pid);
  if (poll(&ended, 1, 0) != 0 || (uid >= 0 && uid != caller.uid)) {
    close(fd);
    return false;
  }
  out->pid = caller.pid;
  out->native = static_cast<std::uintptr_t>(fd);
  return true;
}

void ClosePeer(PeerProcess& peer) {
  if (peer.pid != 0) close(static_cast<int>(peer.native));
  peer = PeerProcess{};
}

PeerWait WaitPeer(const PeerProcess& peer, int timeoutMs) {
  pollfd p[2] = {{WakeFd(), POLLIN, 0}, {peer.pid != 0 ? static_cast<int>(peer.native) : -1, POLLIN, 0}};
  int ready;
  while ((ready = poll(p, 2, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready == 0) return PeerWait::TimedOut;
  if (p[0].revents & POLLIN) {
    uint64_t count;
    ssize_t ignored = read(WakeFd(), &count, sizeof count);
    (void)ignored;
  }
  if (p[1].revents) return PeerWait::Ended;
  return PeerWait::Woken;
}

void WakePeerWait() {
  const uint64_t one = 1;
  ssize_t ignored = write(WakeFd(), &one, sizeof one);
  (void)ignored;
}

void AskToExit(const OpenVpnProcess& process) { kill(static_cast<pid_t>(process.pid), SIGTERM); }

void ForceEnd(const OpenVpnProcess& process) { kill(static_cast<pid_t>(process.pid), SIGKILL); }

void WaitEnded(const OpenVpnProcess& process) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  while (waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

void Reap(const OpenVpnProcess& process, bool scramble, std::chrono::steady_clock::duration lived) {
  const pid_t pid = static_cast<pid_t>(process.pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(lived).count());
  if (WIFSIGNALED(status)) {
    Log("OpenVPN (pid %d) was ended by signal SIG%s after %ld ms", static_cast<int>(pid), SignalName(WTERMSIG(status)),
        ms);
    return;
  }
  const int code = WEXITSTATUS(status);
  Log("OpenVPN (pid %d) exited with status %d after %ld ms", static_cast<int>(pid), code, ms);
  if (code == 1 && lived < kStartupFailureWindow) {
    if (scramble) {
      Log("OpenVPN refused to start on a request with --scramble: this OpenVPN build most likely "
          "lacks the --scramble option (its own message is above)");
    } else {
      Log("OpenVPN refused to start: see its own message above");
    }
  }
}

}  // namespace tunneld
