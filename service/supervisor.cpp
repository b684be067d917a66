#include "supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/named_event.h"

namespace tunneld {

namespace {

using Clock = std::chrono::steady_clock;

// OpenVPN that exits this soon after its start never got going.
constexpr auto kStartupFailureWindow = std::chrono::milliseconds(3000);
// Shared by the request loop, the reaper and the watchers. Allocated once and
// never freed, so threads still blocked at exit never see it destroyed.
struct State {
  std::mutex mutex;
  std::condition_variable changed;
  SupervisorOptions options{};
  pid_t pid = 0;                      // the running OpenVPN, 0 when none
  unsigned long long generation = 0;  // counts started OpenVPNs
  uid_t owner = 0;                    // who asked for the running OpenVPN
  bool scramble = false;
  Clock::time_point started;
  std::unique_ptr<platform::NamedEvent> exitEvent;
};

State* g_state = nullptr;

const char* SignalName(int sig) {
  const char* name = sigabbrev_np(sig);
  return name ? name : "?";
}

// Waits for the OpenVPN with this generation to be reaped, at most timeout.
bool WaitGone(std::unique_lock<std::mutex>& lock, unsigned long long generation,
              std::chrono::milliseconds timeout) {
  State& s = *g_state;
  return s.changed.wait_for(lock, timeout, [&] { return s.pid == 0 || s.generation != generation; });
}

// SIGTERM, a bounded wait, then SIGKILL; returns with the OpenVPN reaped
// (or after a second bounded wait if even SIGKILL did not end it).
void StopLocked(std::unique_lock<std::mutex>& lock, const char* why) {
  State& s = *g_state;
  if (s.pid == 0) return;
  const pid_t pid = s.pid;
  const unsigned long long generation = s.generation;
  Log("stopping OpenVPN (pid %d): %s", static_cast<int>(pid), why);
  kill(pid, SIGTERM);  // the reaper clears pid only after reaping, so pid is still ours
  if (WaitGone(lock, generation, std::chrono::milliseconds(s.options.stopTimeoutMs))) return;
  if (s.pid == pid) {
    Log("OpenVPN (pid %d) did not exit within %d ms of SIGTERM; sending SIGKILL",
        static_cast<int>(pid), s.options.stopTimeoutMs);
    kill(pid, SIGKILL);
  }
  if (!WaitGone(lock, generation, std::chrono::milliseconds(s.options.stopTimeoutMs))) {
    Log("OpenVPN (pid %d) still not reaped after SIGKILL", static_cast<int>(pid));
  }
}

void LogExit(pid_t pid, int status, bool scramble, Clock::duration lived) {
  const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(lived).count());
  if (WIFSIGNALED(status)) {
    Log("OpenVPN (pid %d) was ended by signal SIG%s after %ld ms", static_cast<int>(pid),
        SignalName(WTERMSIG(status)), ms);
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

// Waits for each OpenVPN to end, then reaps it under the lock: until then its
// pid cannot be reused, so kill() on s.pid never reaches another process.
void ReaperMain() {
  State& s = *g_state;
  for (;;) {
    pid_t pid;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.pid != 0; });
      pid = s.pid;
    }
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    LogExit(pid, status, s.scramble, Clock::now() - s.started);
    s.pid = 0;
    s.changed.notify_all();
  }
}

// Blocks on the exit event; when it is set, stops the running OpenVPN. A set
// event is acted on once per started OpenVPN: the front end resets it before
// every request.
void WatcherMain(platform::NamedEvent* event) {
  State& s = *g_state;
  unsigned long long handled = 0;  // last generation dealt with
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.pid != 0 && s.generation > handled; });
    }
    event->Wait(-1);
    std::unique_lock<std::mutex> lock(s.mutex);
    // Reset again already: the front end is starting the next tunnel, and
    // its request stops the old OpenVPN anyway.
    if (!event->Wait(0)) continue;
    handled = s.generation;
    if (s.pid != 0) StopLocked(lock, "the exit event was set");
  }
}

// The child side of fork(): only async-signal-safe calls until execve.
[[noreturn]] void ExecChild(const char* dir, char* const* argv, char* const* envp, int errorFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across execve
  int err = 0;
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

void Log(const char* format, ...) {
  char line[1200];
  int n = std::snprintf(line, sizeof line, "quorvanta-tunneld: ");
  va_list ap;
  va_start(ap, format);
  int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, ap);
  va_end(ap);
  size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
  if (len > sizeof line - 2) len = sizeof line - 2;
  line[len++] = '\n';
  ssize_t ignored = write(2, line, len);  // one write: lines from threads do not mix
  (void)ignored;
}

bool StartSupervisor(const SupervisorOptions& options) {
  // The event is ours from the start, clear, whatever an earlier run or
  // another user left under its name.
  auto event = platform::NamedEvent::Replace(kServiceExitEvent, platform::EventReset::Manual);
  if (!event) {
    Log("cannot create the exit event %s: %s", kServiceExitEvent, std::strerror(errno));
    return false;
  }
  g_state = new State();
  g_state->options = options;
  g_state->exitEvent = std::move(event);
  std::thread(ReaperMain).detach();
  std::thread(WatcherMain, g_state->exitEvent.get()).detach();
  return true;
}

bool RunTunnel(const TunnelCommand& command, uid_t uid) {
  State& s = *g_state;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.pid != 0 && uid != 0 && uid != s.owner) {
    Log("refused request from uid %u: OpenVPN (pid %d) runs for uid %u and is left alone",
        static_cast<unsigned>(uid), static_cast<int>(s.pid), static_cast<unsigned>(s.owner));
    return false;
  }
  StopLocked(lock, "a new tunnel request arrived");
  if (s.pid != 0) {
    Log("refused request: the previous OpenVPN (pid %d) could not be stopped", static_cast<int>(s.pid));
    return false;
  }

  char* argv[kMaxRequestArgs + 2];
  int n = 0;
  argv[n++] = const_cast<char*>(s.options.openvpn);
  for (int i = 0; i < command.argc; ++i) argv[n++] = const_cast<char*>(command.Arg(i));
  argv[n] = nullptr;
  // OpenVPN gets a plain environment, not the service's.
  static char path[] = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  static char lang[] = "LC_ALL=C";
  char* envp[] = {path, lang, nullptr};

  char joined[kMaxRequestSize + 300];
  size_t used = 0;
  for (int i = 0; i < n && used < sizeof joined; ++i) {
    int w = std::snprintf(joined + used, sizeof joined - used, i ? " %s" : "%s", argv[i]);
    if (w < 0) break;
    used += static_cast<size_t>(w);
  }

  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    Log("cannot start OpenVPN: pipe: %s", std::strerror(errno));
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) ExecChild(s.options.configDir, argv, envp, errorPipe[1]);
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
    Log("cannot start %s in %s: %s", s.options.openvpn, s.options.configDir, std::strerror(err));
    return false;
  }
  s.pid = pid;
  s.generation += 1;
  s.owner = uid;
  s.scramble = command.scramble;
  s.started = Clock::now();
  Log("started OpenVPN (pid %d) for uid %u, exit event %s: %s", static_cast<int>(pid),
      static_cast<unsigned>(uid), command.exitEvent, joined);
  s.changed.notify_all();
  return true;
}

void StopTunnel(const char* why) {
  if (!g_state) return;
  std::unique_lock<std::mutex> lock(g_state->mutex);
  StopLocked(lock, why);
  // The name goes with the service, unless something else already holds it.
  if (g_state->exitEvent->IsCurrent()) platform::RemoveNamedEvent(kServiceExitEvent);
}

}  // namespace tunneld
