// The main window as the program runs it: the real page, tray, management
// listener and service probe, with a stand-in service socket and a stand-in
// OpenVPN on the management port. The controller's profile and tunnel
// requests are recorded instead of reaching the disk and the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/signal.h"
#include "platform/named_event.h"
#include "ui/main_window.h"
#include "unit/tunnel/fake_service.h"
#include "ui/window/page_helpers.h"
#include "ui/window/x_session.h"

namespace {

::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new XEnvironment(true, true));

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
      return true;
    };
    hooks.startDelayedServerListUpdate = [this](const char*) { log.push_back("update"); };
    hooks.startKnocker = [this] { log.push_back("knocker"); };
    hooks.startOpenInstalled = [this] { log.push_back("installed"); };
    hooks.sleep = [this](unsigned ms) { log.push_back("sleep " + std::to_string(ms)); };
  }
  void TearDown() override { platform::RemoveNamedEvent(kExitEventName); }

  // Runs body inside the window's message loop; the window runs until body posts its close.
  int Run(MainWindow& window, bool visible, std::function<void()> body) {
    struct Driver {
      std::function<void()> body;
    } driver{std::move(body)};
    g_idle_add(
        [](gpointer data) -> gboolean {
          static_cast<Driver*>(data)->body();
          return G_SOURCE_REMOVE;
        },
        &driver);
    return window.RunWindow(visible);
  }

  std::string Tray(MainWindow& window) {
    ::Tray& tray = window.tray();
    return std::string(tray.IconName()) + "|" + tray.Tooltip() + "|" +
           (tray.IsMenuItemEnabled(IDM_CONNECT) ? "C" : "-") + (tray.IsMenuItemEnabled(IDM_DISCONNECT) ? "D" : "-");
  }

  FakeService service;
  ControllerHooks hooks;
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

    window.OnCommand(IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"load", "tunnel", "update", "knocker"}));
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
    EXPECT_TRUE(PumpUntil([&] { return !gtk_widget_get_visible(window.Window()); }));
    EXPECT_FALSE(window.controller().firstRun);
    window.OnTrayIcon(WM_LBUTTONDOWN, 0, 0);
    EXPECT_TRUE(gtk_widget_get_visible(window.Window()));
    window.OnCommand(IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"load", "tunnel", "update", "knocker", "installed"}));
}

TEST_F(ProgramTest, ATunnelUpBeforeThePageHasLoadedStillReachesThePage) {
  setenv("QUORVANTA_PIPE", "/nonexistent/quorvanta-test-pipe", 1);  // no probe result joins in
  MainWindow window(hooks);
  // Queued before the window exists, as when the service and OpenVPN answer faster than the page loads.
  platform::UiQueue().Post(WM_MGMT_CONNECTED, 0, 0);
  platform::UiQueue().Post(WM_TUNNEL_UP, 0, 0);
  int code = Run(window, true, [&] {
    EXPECT_TRUE(WaitPageLoaded(window));
    EXPECT_TRUE(PumpUntil([&] { return Look(window) == "rgb(23, 114, 47)|Connected|0001"; })) << Look(window);
    window.OnCommand(IDM_EXIT);
  });
  EXPECT_EQ(code, 0);
}

TEST_F(ProgramTest, AutorunStartsHiddenWithTheTrayIconAndAPressShowsTheWindowInItsCorner) {
  MainWindow window(hooks);
  int code = Run(window, false, [&] {
    ASSERT_TRUE(WaitPageLoaded(window));
    EXPECT_TRUE(window.tray().IsShown());
    EXPECT_FALSE(gtk_widget_get_visible(window.Window()));
    Pump(300);
    EXPECT_FALSE(gtk_widget_get_visible(window.Window()));
    platform::UiQueue().Post(WM_TRAYICON, 0, WM_LBUTTONDOWN);  // as a posted message, like the shell's
    ASSERT_TRUE(PumpUntil([&] { return gtk_widget_get_visible(window.Window()); }));
    EXPECT_TRUE(PumpUntil([&] {
      GdkRectangle r;
      gdk_window_get_frame_extents(gtk_widget_get_window(window.Window()), &r);
      return r.x == 880 && r.y == 460 && r.width == 400 && r.height == 300;
    }));
    CaptureWindow(window, "program_autorun_shown");
    platform::UiQueue().Post(WM_COMMAND, IDM_EXIT, 0);
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
    window->OnCommand(IDM_EXIT);
    platform::UiQueue().Post(WM_MGMT_CONNECTED, 0, 0);
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(window->Window(), nullptr);  // the window is gone once the loop has ended
  exitEvent->Reset();
  window.reset();
  EXPECT_TRUE(exitEvent->Wait(0));
  bool left = false;  // never handled
  platform::Message message;
  while (platform::UiQueue().TryTake(&message)) left = left || message.id == WM_MGMT_CONNECTED;
  EXPECT_TRUE(left);
}

}  // namespace
