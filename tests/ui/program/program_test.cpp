// The main window as the program runs it: the real page, tray, management
// listener and service probe, with a stand-in service socket and a stand-in
// OpenVPN on the management port. The controller's profile and tunnel
// requests are recorded instead of reaching the disk and the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "runtime/ui_messages.h"
#include "ui/main_window.h"
#include "support/fake_service.h"
#include "ui/window/page_helpers.h"
#include "ui/window/x_session.h"

namespace {

using enum TunnelState;

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new XEnvironment(true, true));

// OpenVPN's side of the management connection.
class FakeOpenVpn {
 public:
  bool Connect() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ManagementPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200; ++i) {
      if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
      usleep(25000);
    }
    return false;
  }
  void Send(const char* text) {
    ssize_t n = write(fd_, text, std::strlen(text));
    (void)n;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  ~FakeOpenVpn() { Close(); }

 private:
  int fd_ = -1;
};

std::string Namespace() { return "-uiprogram" + std::to_string(getpid()); }

// The centre of a page element, in root-window coordinates.
bool ScreenPoint(MainWindow& window, const char* id, int* x, int* y) {
  std::string where = Js(window, std::string("(function(){var r=$('") + id +
                                     "').getBoundingClientRect();"
                                     "return Math.round(r.left+r.width/2)+' '+Math.round(r.top+r.height/2);})()");
  int px = 0, py = 0, ox = 0, oy = 0;
  if (std::sscanf(where.c_str(), "%d %d", &px, &py) != 2) return false;
  gdk_window_get_origin(gtk_widget_get_window(Gtk(window).Window()), &ox, &oy);
  *x = ox + px;
  *y = oy + py;
  return true;
}

// Runs xdotool while the window's loop goes on, as a user's hand would.
bool XdotoolWhilePumping(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "xdotool", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  bool ended = PumpUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
  if (!ended) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int DoubleClickTime() {
  int ms = 400;
  g_object_get(gtk_settings_get_default(), "gtk-double-click-time", &ms, nullptr);
  return ms;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVANTA_OBJECT_NAMESPACE", Namespace().c_str(), 1);
    setenv("QUORVANTA_PIPE", service.path().c_str(), 1);
    setenv("QUORVANTA_MESSAGES", "stderr", 1);
    hooks.loadProfile = [this](const char*) {
      log.push_back("load");
      return 0;
    };
    hooks.startTunnel = [this] {
      log.push_back("tunnel");
      return tunnelResult ? tunnelResult() : true;
    };
    hooks.startDelayedServerListUpdate = [this](const char*) { log.push_back("update"); };
    hooks.startKnocker = [this] { log.push_back("knocker"); };
    hooks.startOpenInstalled = [this] { log.push_back("installed"); };
  }
  void TearDown() override { platform::RemoveNamedEvent(kExitEventName); }

  // Runs body inside the window's message loop; the window runs until body
  // posts its close, or at once when an assertion in body has failed.
  int Run(MainWindow& window, bool visible, std::function<void()> body) {
    struct Driver {
      std::function<void()> body;
      MainWindow& window;
    } driver{std::move(body), window};
    g_idle_add(
        [](gpointer data) -> gboolean {
          auto* d = static_cast<Driver*>(data);
          d->body();
          if (::testing::Test::HasFatalFailure()) d->window.OnCommand(msg::IDM_EXIT);
          return G_SOURCE_REMOVE;
        },
        &driver);
    return window.RunWindow(visible);
  }

  std::string Tray(MainWindow& window) {
    ::Tray& tray = window.tray();
    return std::string(tray.IconName()) + "|" + tray.Tooltip() + "|" +
           (tray.IsMenuItemEnabled(msg::IDM_CONNECT) ? "C" : "-") +
           (tray.IsMenuItemEnabled(msg::IDM_DISCONNECT) ? "D" : "-");
  }

  long Requests() const { return std::count(log.begin(), log.end(), "tunnel"); }

  FakeService service;
  ControllerHooks hooks;
  std::function<bool()> tunnelResult;
  std::vector<std::string> log;
};

constexpr const char* kSessionToConnected =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    ">STATE:1796755937,WAIT,,,,,,\r\n"
    ">STATE:1796755937,AUTH,,,,,,\r\n"
    ">STATE:1796755937,CONNECTED,SUCCESS,,127.0.0.1,11940,,\r\n";

TEST_F(ProgramTest, WaitingConnectingConnectedTrafficDisconnectDisconnected) {
  MainWindow window(hooks);
  FakeOpenVpn openvpn;
  int code = Run(window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    EXPECT_TRUE(window.tray().IsShown());
    // The service answers the probe: the controller connects by itself.
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connecting; }));
    EXPECT_EQ(Look(window), "rgb(235, 112, 96)|Waiting for service.|0000");  // the page is not told yet
    EXPECT_EQ(Tray(window), "hand48x48_yellow.ico|Connecting|-D");
    CaptureWindow(window, "program_waiting");

    ASSERT_TRUE(openvpn.Connect());
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(235, 112, 96)|Connecting|1001"; })) << Look(window);
    CaptureWindow(window, "program_connecting");

    openvpn.Send(kSessionToConnected);
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connected; }));
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0001"; })) << Look(window);
    EXPECT_EQ(Tray(window), "hand48x48_green.ico|Connected|-D");
    CaptureWindow(window, "program_connected");

    openvpn.Send(">BYTECOUNT:2904,1055\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0101"; })) << Look(window);
    EXPECT_EQ(Js(window, "$('trafficIn').textContent + '/' + $('trafficOut').textContent"), "2 kB/1 kB");
    CaptureWindow(window, "program_traffic");

    // The user presses Disconnect on the page.
    auto exitEvent = platform::NamedEvent::Open(kExitEventName);
    ASSERT_TRUE(exitEvent);
    EXPECT_FALSE(exitEvent->Wait(0));
    // A press right after the button appeared would count as the rest of a double click.
    ASSERT_TRUE(PumpUntil([&] { return Js(window, "justShown('disconnect')") == "false"; }));
    Js(window, "$('disconnect').click()");
    EXPECT_EQ(window.controller().state(), Disconnecting);
    EXPECT_TRUE(exitEvent->Wait(0));
    EXPECT_EQ(Look(window), "rgb(235, 112, 96)|Disconnecting|1000");
    EXPECT_EQ(Tray(window), "hand48x48_yellow.ico|Disconnecting|--");
    CaptureWindow(window, "program_disconnecting");

    // OpenVPN goes away.
    openvpn.Close();
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Disconnected; }));
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(153, 45, 31)|Disconnected|0010"; })) << Look(window);
    EXPECT_EQ(Tray(window), "hand48x48_red.ico|Disconnected|C-");
    CaptureWindow(window, "program_disconnected");

    window.OnCommand(msg::IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"load", "tunnel", "update", "knocker"}));
}

TEST_F(ProgramTest, ADisconnectClickedDuringTheFailoverWaitEndsDisconnectedWithNoNewRequest) {
  MainWindow window(hooks);
  FakeOpenVpn openvpn;
  int code = Run(window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connecting; }));
    ASSERT_TRUE(openvpn.Connect());
    openvpn.Send(kSessionToConnected);
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0001"; })) << Look(window);
    Pump(DoubleClickTime() + 100);

    // OpenVPN goes away on its own: the next server is due in 2500 ms.
    openvpn.Close();
    ASSERT_TRUE(PumpUntil([&] { return window.controller().FailoverPending(); }));
    const auto lost = std::chrono::steady_clock::now();
    int x = 0, y = 0;
    ASSERT_TRUE(ScreenPoint(window, "disconnect", &x, &y));
    ASSERT_TRUE(XdotoolWhilePumping({"mousemove", std::to_string(x), std::to_string(y), "click", "1"}));
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Disconnected; }, 2000));
    // Handled while the wait was still running: the window never stopped answering.
    EXPECT_LT(std::chrono::steady_clock::now() - lost, std::chrono::milliseconds(2500));
    EXPECT_FALSE(window.controller().FailoverPending());
    CaptureWindow(window, "program_failover_cancelled");

    Pump(3000);  // well past the moment the failover would have fired
    EXPECT_EQ(window.controller().state(), Disconnected);
    EXPECT_EQ(Look(window), "rgb(153, 45, 31)|Disconnected|0010");
    EXPECT_EQ(Tray(window), "hand48x48_red.ico|Disconnected|C-");
    EXPECT_EQ(Requests(), 1) << "a new tunnel was requested";
    auto exitEvent = platform::NamedEvent::Open(kExitEventName);
    ASSERT_TRUE(exitEvent);
    EXPECT_TRUE(exitEvent->Wait(0));
    window.OnCommand(msg::IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
}

TEST_F(ProgramTest, ADoubleClickOnConnectEndsConnected) {
  FakeOpenVpn openvpn;
  std::thread management;
  // The start-up request fails (the page shows Connect); the user's one starts a tunnel whose
  // management connection comes back 50 ms later, putting Disconnect under the pointer.
  tunnelResult = [&] {
    if (Requests() == 1) return false;
    if (!management.joinable()) {
      management = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!openvpn.Connect()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        openvpn.Send(kSessionToConnected);
      });
    }
    return true;
  };
  MainWindow window(hooks);
  int code = Run(window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    ASSERT_TRUE(PumpUntil([&] { return Requests() == 1 && window.controller().state() == Disconnected; }));
    const char* text[] = {"Disconnected"};
    window.CallPageFunction("disconnected", text, 1);
    ASSERT_TRUE(PumpUntil([&] { return Look(window) == "rgb(153, 45, 31)|Disconnected|0010"; })) << Look(window);
    Pump(DoubleClickTime() + 100);

    int x = 0, y = 0;
    ASSERT_TRUE(ScreenPoint(window, "connect", &x, &y));
    const int gap = std::min(250, DoubleClickTime() * 2 / 3);
    ASSERT_TRUE(XdotoolWhilePumping({"mousemove", std::to_string(x), std::to_string(y), "click", "--repeat", "2",
                                     "--delay", std::to_string(gap), "1"}));
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connected; }));
    Pump(500);
    EXPECT_EQ(window.controller().state(), Connected);
    EXPECT_EQ(Look(window), "rgb(23, 114, 47)|Connected|0001");
    EXPECT_EQ(Requests(), 2);
    auto exitEvent = platform::NamedEvent::Open(kExitEventName);
    ASSERT_TRUE(exitEvent);
    EXPECT_FALSE(exitEvent->Wait(0)) << "the second click stopped the tunnel";
    CaptureWindow(window, "program_double_click");
    window.OnCommand(msg::IDM_EXIT);
  });
  if (management.joinable()) management.join();
  EXPECT_EQ(code, 0);
}

TEST_F(ProgramTest, FirstRunHidesTheWindowOnTheFirstTunnelUpAndTheTrayShowsItAgain) {
  MainWindow window(hooks);
  window.firstRun = true;
  FakeOpenVpn openvpn;
  int code = Run(window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connecting; }));
    ASSERT_TRUE(openvpn.Connect());
    openvpn.Send(kSessionToConnected);
    ASSERT_TRUE(PumpUntil([&] { return window.controller().state() == Connected; }));
    EXPECT_TRUE(PumpUntil([&] { return !gtk_widget_get_visible(Gtk(window).Window()); }));
    EXPECT_FALSE(window.controller().firstRun);
    window.OnTrayIcon(msg::LeftButtonDown, 0, 0);
    EXPECT_TRUE(gtk_widget_get_visible(Gtk(window).Window()));
    window.OnCommand(msg::IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"load", "tunnel", "update", "knocker", "installed"}));
}

TEST_F(ProgramTest, ATunnelUpBeforeThePageHasLoadedStillReachesThePage) {
  setenv("QUORVANTA_PIPE", "/nonexistent/quorvanta-test-pipe", 1);  // no probe result joins in
  MainWindow window(hooks);
  // Queued before the window exists, as when the service and OpenVPN answer faster than the page loads.
  platform::UiQueue().Post(msg::WM_MGMT_CONNECTED, 0, 0);
  platform::UiQueue().Post(msg::WM_TUNNEL_UP, 0, 0);
  int code = Run(window, true, [&] {
    EXPECT_TRUE(WaitPageLoaded(window));
    EXPECT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0001"; })) << Look(window);
    window.OnCommand(msg::IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
}

TEST_F(ProgramTest, AutorunStartsHiddenWithTheTrayIconAndAPressShowsTheWindowInItsCorner) {
  MainWindow window(hooks);
  int code = Run(window, false, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    EXPECT_TRUE(window.tray().IsShown());
    EXPECT_FALSE(gtk_widget_get_visible(Gtk(window).Window()));
    Pump(300);
    EXPECT_FALSE(gtk_widget_get_visible(Gtk(window).Window()));
    platform::UiQueue().Post(msg::WM_TRAYICON, 0, msg::LeftButtonDown);  // as a posted message, like the shell's
    ASSERT_TRUE(PumpUntil([&] { return gtk_widget_get_visible(Gtk(window).Window()); }));
    EXPECT_TRUE(PumpUntil([&] {
      GdkRectangle r;
      gdk_window_get_frame_extents(gtk_widget_get_window(Gtk(window).Window()), &r);
      return r.x == 880 && r.y == 460 && r.width == 400 && r.height == 300;
    }));
    CaptureWindow(window, "program_autorun_shown");
    platform::UiQueue().Post(msg::Command, msg::IDM_EXIT, 0);
  });
  EXPECT_EQ(code, 0);
}

}  // namespace

namespace {

TEST_F(ProgramTest, ExitEndsTheLoopWithZeroAndDestroyingTheWindowSetsTheExitEvent) {
  auto window = std::make_unique<MainWindow>(hooks);
  auto exitEvent = platform::NamedEvent::Open(kExitEventName);
  ASSERT_TRUE(exitEvent);
  int code = Run(*window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(*window));
    EXPECT_TRUE(window->tray().IsShown());
    // The menu's Exit posts the close request; it ends the loop before anything queued behind it.
    window->OnCommand(msg::IDM_EXIT);
    platform::UiQueue().Post(msg::WM_MGMT_CONNECTED, 0, 0);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Gtk(*window).Window(), nullptr);  // the window is gone once the loop has ended
  exitEvent->Reset();
  window.reset();
  EXPECT_TRUE(exitEvent->Wait(0));
  bool left = false;  // never handled
  platform::Message message;
  while (platform::UiQueue().TryTake(&message)) left = left || message.id == msg::WM_MGMT_CONNECTED;
  EXPECT_TRUE(left);
}

// Not run by itself: the test below runs it to see that a failed assertion
// inside the window's loop ends the test instead of leaving the loop running.
TEST_F(ProgramTest, DISABLED_FailsAnAssertionInsideTheLoop) {
  MainWindow window(hooks);
  Run(window, true, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    ASSERT_EQ(1, 2) << "deliberate failure";
  });
}

TEST(ProgramHarness, AFailedAssertionInsideTheLoopEndsTheTestAtOnce) {
  // The output goes to a file: the child's own X servers would hold a pipe open.
  char outPath[] = "/tmp/qv-harness-XXXXXX";
  const int outFd = mkstemp(outPath);
  ASSERT_GE(outFd, 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char* const argv[] = {const_cast<char*>("/proc/self/exe"), const_cast<char*>("--gtest_also_run_disabled_tests"),
                        const_cast<char*>("--gtest_filter=ProgramTest.DISABLED_FailsAnAssertionInsideTheLoop"),
                        nullptr};
  // A group of its own, so that its X servers go with it if it has to be killed.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  std::string out;
  if (FILE* f = std::fopen(outPath, "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  unlink(outPath);
  ASSERT_TRUE(ended) << "the failed assertion left the loop running";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
  EXPECT_NE(out.find("deliberate failure"), std::string::npos) << out;
}

}  // namespace
