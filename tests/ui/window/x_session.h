#pragma once
// A private X display for one test process: Xvfb on a free display number,
// optionally the openbox window manager and a trayer panel that takes 40
// pixels at the bottom (so the work area is smaller than the screen). GTK is
// opened on it once. Everything started here is ended by the destructor.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

class XSession {
 public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 800;
  static constexpr int kPanelHeight = 40;

  // Starts the display and GTK; false when Xvfb cannot be started.
  bool Start(bool windowManager, bool panel) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::string fd = std::to_string(fds[1]);
    std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    xvfb_ = Spawn({"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp"}, fds[0]);
    close(fds[1]);
    char number[16] = {0};
    size_t got = 0;
    while (got < sizeof number - 1) {
      ssize_t n = read(fds[0], number + got, 1);
      if (n <= 0 || number[got] == '\n') break;
      ++got;
    }
    close(fds[0]);
    number[got] = '\0';
    if (xvfb_ <= 0 || got == 0) return false;
    display_ = std::string(":") + number;
    setenv("DISPLAY", display_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("GDK_BACKEND", "x11", 1);
    // Openbox now and then fails to open a display that Xvfb has just announced, and
    // ends at once: without it there is no work area. Start it again when it did not come up.
    for (int attempt = 0; windowManager && attempt < 3; ++attempt) {
      wm_ = Spawn({"openbox", "--sm-disable"}, -1);
      if (WaitFor("_NET_SUPPORTING_WM_CHECK", "window id")) break;
      if (wm_ > 0) {
        kill(wm_, SIGTERM);
        waitpid(wm_, nullptr, 0);
      }
      wm_ = -1;
    }
    if (panel) StartPanel();
    int argc = 0;
    return gtk_init_check(&argc, nullptr);
  }

  ~XSession() {
    for (pid_t pid : {panel_, wm_, xvfb_}) {
      if (pid <= 0) continue;
      kill(pid, SIGTERM);
      int status;
      waitpid(pid, &status, 0);
    }
  }

  const std::string& display() const { return display_; }

  // A trayer panel at the bottom: an XEmbed tray host.
  void StartPanel() {
    std::string height = std::to_string(kPanelHeight);
    panel_ = Spawn({"trayer", "--edge", "bottom", "--align", "right", "--height", height.c_str(), "--widthtype",
                    "request", "--SetDockType", "true", "--SetPartialStrut", "true", "--transparent", "false"},
                   -1);
    // The work area shrinks once the window manager has taken the panel's strut.
    std::string expected = std::to_string(kHeight - kPanelHeight);
    WaitFor("_NET_WORKAREA", (", " + expected).c_str());
  }

  // Output of a command (argv) run to its end.
  static std::string Run(std::vector<const char*> argv) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while (rc == 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    if (rc == 0) {
      int status;
      waitpid(pid, &status, 0);
    }
    return out;
  }

 private:
  static pid_t Spawn(std::vector<const char*> argv, int closeFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeFd >= 0) posix_spawn_file_actions_addclose(&actions, closeFd);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Waits (up to 10 s) until the root window's property holds text; false if it never did.
  static bool WaitFor(const char* property, const char* text) {
    for (int i = 0; i < 200; ++i) {
      if (Run({"xprop", "-root", property}).find(text) != std::string::npos) return true;
      usleep(50000);
    }
    return false;
  }

  std::string display_;
  pid_t xvfb_ = -1;
  pid_t wm_ = -1;
  pid_t panel_ = -1;
};

// The one session of a test program, started before its first test.
inline XSession* g_x = nullptr;

class XEnvironment : public ::testing::Environment {
 public:
  XEnvironment(bool windowManager, bool panel) : windowManager_(windowManager), panel_(panel) {}
  void SetUp() override {
    g_x = new XSession();
    ASSERT_TRUE(g_x->Start(windowManager_, panel_)) << "Xvfb could not be started";
  }
  void TearDown() override {
    delete g_x;
    g_x = nullptr;
  }

 private:
  bool windowManager_;
  bool panel_;
};
