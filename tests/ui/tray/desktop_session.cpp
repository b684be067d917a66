#include "desktop_session.h"
#include "runtime/ui_messages.h"

#include <fcntl.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

pid_t Spawn(const std::vector<std::string>& args, int quietFd = -1) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quietFd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A server of the session: it ends with this process even when a test crashes.
pid_t SpawnServer(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 1);
  dup2(null, 2);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Reads one line that a server writes on its start-up pipe; "" after 10 s or at end of file.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval limit = {10, 0};
    if (select(fd + 1, &set, nullptr, nullptr, &limit) <= 0) return "";
    ssize_t n = read(fd, &c, 1);
    if (n <= 0 || c == '\n') return line;
    line += c;
  }
}

void Kill(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
}

}  // namespace

bool DesktopSession::Start(bool withTray, std::string& error) {
  int pipeFds[2];
  // The X server names its display on a pipe: a free number, never a guess.
  if (pipe(pipeFds) != 0) return error = "pipe", false;
  fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
  xvfb_ = SpawnServer(
      {"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"});
  close(pipeFds[1]);
  std::string number = xvfb_ > 0 ? ReadLine(pipeFds[0]) : "";
  close(pipeFds[0]);
  if (number.empty()) return error = "Xvfb did not start", false;
  display_ = std::atoi(number.c_str());
  setenv("DISPLAY", (":" + number).c_str(), 1);

  if (pipe(pipeFds) != 0) return error = "pipe", false;
  fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
  bus_ = SpawnServer({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:tmpdir=/tmp",
                      "--print-address=" + std::to_string(pipeFds[1])});
  close(pipeFds[1]);
  busAddress_ = bus_ > 0 ? ReadLine(pipeFds[0]) : "";
  close(pipeFds[0]);
  if (busAddress_.empty()) return error = "dbus-daemon did not start", false;
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);

  setenv("GDK_BACKEND", "x11", 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("GSETTINGS_BACKEND", "memory", 1);
  unsetenv("WAYLAND_DISPLAY");
  if (!gtk_init_check(nullptr, nullptr)) return error = "gtk_init failed", false;

  if (withTray) {
    trayer_ = SpawnServer({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "200",
                           "--height", "32", "--SetDockType", "false", "--transparent", "false"});
    if (trayer_ <= 0) return error = "trayer did not start", false;
    // The tray is ready once it owns the system-tray selection of screen 0.
    Display* x = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    Atom selection = XInternAtom(x, "_NET_SYSTEM_TRAY_S0", False);
    if (!SpinUntil([&] { return XGetSelectionOwner(x, selection) != None; }, 10000))
      return error = "trayer never took the tray selection", false;
  }
  return true;
}

void DesktopSession::Stop() {
  Kill(trayer_);
  Kill(bus_);
  Kill(xvfb_);
}

bool SpinUntil(const std::function<bool()>& done, int timeoutMs) {
  bool expired = false;
  guint limit = g_timeout_add(
      static_cast<guint>(timeoutMs),
      +[](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  // A slow tick as well: some conditions change outside this process (the X server, other clients).
  guint tick = g_timeout_add(
      25, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  if (!expired) g_source_remove(limit);
  return done();
}

void SpinFor(int ms) {
  SpinUntil([] { return false; }, ms);
}

int RunProgram(const std::vector<std::string>& argv) {
  pid_t pid = Spawn(argv, 1);
  if (pid <= 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RecordingHost::OnTrayIcon(uint32_t mouseMessage, int x, int y) {
  presses.push_back({mouseMessage, x, y});
  if (mouseMessage == msg::RightButtonDown && popOnRightPress != nullptr) popOnRightPress->PopupMenu(x, y);
}
