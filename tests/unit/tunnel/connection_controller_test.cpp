#include "runtime/ui_messages.h"
#include "tunnel/connection_controller.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "runtime/shared_state.h"
#include "support/fake_service.h"
#include "platform/message_box.h"
#include "platform/named_event.h"
#include "runtime/server_list.h"
#include "support/test_env.h"

namespace {

using enum TunnelState;

std::vector<std::string>* g_log = nullptr;

void RecordBox(const char* caption, const char* text, platform::MessageIcon icon) {
  g_log->push_back(std::string("box ") + caption + " | " + text +
                   (icon == platform::MessageIcon::None ? " | no icon" : " | icon"));
}

// Records the page, tray and window calls, and whether the exit event was set
// when the tray changed, into one ordered log.
class RecordingView : public ControllerView {
 public:
  RecordingView(std::vector<std::string>& log, platform::NamedEvent* exitEvent) : log_(log), exitEvent_(exitEvent) {}
  void CallPageFunction(const char* name, const char* const* args, int count) override {
    std::string line = std::string("page ") + name;
    for (int i = 0; i < count; ++i) line += std::string(" [") + args[i] + "]";
    log_.push_back(line);
  }
  void UpdateTrayIcon(ShownState state) override {
    std::string line = "tray " + std::to_string(Number(state));
    if (exitEvent_ && exitEvent_->Wait(0)) line += " (exit set)";
    log_.push_back(line);
  }
  void Display() override { log_.push_back("display"); }
  void Hide() override { log_.push_back("hide"); }
  void Notify(Notice notice) override { log_.push_back("notice " + std::to_string(static_cast<unsigned>(notice))); }

 private:
  std::vector<std::string>& log_;
  platform::NamedEvent* exitEvent_;
};

class Controller : public ::testing::Test {
 protected:
  void SetUp() override {
    qvtest::SetEnv("QUORVANTA_OBJECT_NAMESPACE", ("qvtest" + qvtest::ProcessTag()).c_str());
    qvtest::SetEnv("QUORVANTA_MESSAGES", nullptr);
    std::strcpy(ProfilePath, "/cfg/data.vpn");
    g_log = &log;
    platform::SetMessageBoxHandler(&RecordBox);
    signal = std::make_unique<Signal>();
    exitEvent = platform::NamedEvent::Open(kExitEventName);
    view = std::make_unique<RecordingView>(log, exitEvent.get());

    ControllerHooks hooks;
    hooks.loadProfile = [this](const char* path) {
      log.push_back(std::string("load ") + path);
      return loadResult;
    };
    hooks.startTunnel = [this] {
      log.push_back("request");
      exitEvent->Reset();  // as every request does before it is sent
      bool ok = !tunnelResults.empty() && tunnelResults.front();
      if (!tunnelResults.empty()) tunnelResults.pop_front();
      return ok;
    };
    hooks.startDelayedServerListUpdate = [this](const char* path) {
      log.push_back(std::string("delayed update ") + path);
    };
    hooks.startKnocker = [this] { log.push_back("knocker"); };
    hooks.startOpenInstalled = [this] { log.push_back("open installed"); };
    timers.clear();
    hooks.startTimer = [this](unsigned ms, std::function<void()> fire) {
      log.push_back("timer " + std::to_string(ms));
      timers.push_back({++lastTimer, std::move(fire)});
      return lastTimer;
    };
    hooks.cancelTimer = [this](unsigned id) {
      log.push_back("cancel");
      for (auto it = timers.begin(); it != timers.end(); ++it)
        if (it->first == id) {
          timers.erase(it);
          return;
        }
      ADD_FAILURE() << "cancelled a timer that is not pending: " << id;
    };
    // The start's bound has cases of its own; the rest follow one request at a time.
    hooks.managementWaitMs = startWaitMs;
    hooks.managementListening = [this] { return !portTaken; };
    hooks.restartTunnel = [this] { log.push_back("restart"); };
    hooks.disconnectWaitMs = disconnectWaitMs;
    hooks.counterSilenceMs = counterSilenceMs;
    hooks.retryFirstMs = retryFirstMs;
    controller = std::make_unique<ConnectionController>(*view, *signal, hooks);
  }

  void TearDown() override {
    platform::SetMessageBoxHandler(nullptr);
    controller.reset();
    exitEvent.reset();
    signal.reset();
    platform::RemoveNamedEvent(kExitEventName);
  }

  bool Send(uint32_t id, uintptr_t w = 0, intptr_t l = 0) {
    return controller->HandleMessage(platform::Message{id, w, l});
  }

  // Brings the controller to a state through its own events, then clears the log.
  void Reach(TunnelState state) {
    switch (state) {
      case WaitingForService:
        break;
      case ServiceUnavailable:
        Send(msg::WM_SERVICE_STATUS, 0);
        break;
      case Disconnecting:
        // Only an OpenVPN that holds the management connection keeps a Disconnect waiting.
        tunnelResults = {true};
        controller->Connect();
        Send(msg::WM_MGMT_CONNECTED);
        controller->Disconnect();
        break;
      case Disconnected:
        tunnelResults = {false};
        controller->Connect();
        break;
      case Connecting:
        tunnelResults = {true};
        controller->Connect();
        break;
      case Connected:
        Send(msg::WM_TUNNEL_UP);
        break;
    }
    ASSERT_EQ(controller->state(), state);
    signal->Reset();
    log.clear();
  }

  // A tunnel asked for whose OpenVPN has called in (and is up, for Connected).
  void ReachWithOpenVpn(TunnelState state) {
    tunnelResults = {true};
    controller->Connect();
    Send(msg::WM_MGMT_CONNECTED);
    if (state == Connected) Send(msg::WM_TUNNEL_UP);
    ASSERT_EQ(controller->state(), state);
    signal->Reset();
    log.clear();
  }

  // Fires the oldest pending timer, as the loop would once its time has come.
  void Fire() {
    ASSERT_FALSE(timers.empty());
    auto fire = std::move(timers.front().second);
    timers.pop_front();
    fire();
  }

  using Log = std::vector<std::string>;
  Log log;
  std::deque<std::pair<unsigned, std::function<void()>>> timers;
  unsigned lastTimer = 0;
  int loadResult = 0;
  unsigned startWaitMs = 0;
  unsigned disconnectWaitMs = 0;
  unsigned counterSilenceMs = 0;
  unsigned retryFirstMs = 0;
  bool portTaken = false;
  std::deque<bool> tunnelResults;
  std::unique_ptr<Signal> signal;
  std::unique_ptr<platform::NamedEvent> exitEvent;
  std::unique_ptr<RecordingView> view;
  std::unique_ptr<ConnectionController> controller;
};

const TunnelState kAll[] = {WaitingForService, ServiceUnavailable, Disconnecting, Disconnected, Connecting, Connected};

TEST(FormatTraffic, UsesDecimalUnitsAndTruncatesForEvery64BitCount) {
  const std::pair<uint64_t, const char*> cases[] = {{0, "0 Bytes"},
                                                    {999, "999 Bytes"},
                                                    {1000, "1 kB"},
                                                    {999999, "999 kB"},
                                                    {1000000, "1 MB"},
                                                    {1999999, "1 MB"},
                                                    {2147483647, "2147 MB"},
                                                    {4294967295u, "4294 MB"},
                                                    {3000000000u, "3000 MB"},
                                                    {5000000000ull, "5000 MB"},
                                                    {UINT64_MAX, "18446744073709 MB"}};
  for (const auto& [value, text] : cases) {
    char out[64];
    FormatTraffic(value, out, sizeof out);
    EXPECT_STREQ(out, text) << value;
  }
}

TEST_F(Controller, StartsWaitingForTheServiceAndIgnoresOtherMessages) {
  EXPECT_EQ(controller->state(), WaitingForService);
  EXPECT_FALSE(Send(2000));
  EXPECT_FALSE(Send(2008));
  EXPECT_FALSE(Send(32769));
  EXPECT_TRUE(log.empty());
}

TEST_F(Controller, ServiceUnavailableChangesOnlyTheState) {
  for (TunnelState s : kAll) {
    SetUp();
    Reach(s);
    EXPECT_TRUE(Send(msg::WM_SERVICE_STATUS, 0));
    EXPECT_EQ(controller->state(), ServiceUnavailable);
    EXPECT_TRUE(log.empty()) << Number(s);
    TearDown();
  }
}

TEST_F(Controller, ServiceAvailableConnectsOtherValuesDoNothing) {
  tunnelResults = {true};
  EXPECT_TRUE(Send(msg::WM_SERVICE_STATUS, 1));
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "tray 4"}));
  EXPECT_EQ(controller->state(), Connecting);
  log.clear();
  EXPECT_TRUE(Send(msg::WM_SERVICE_STATUS, 2));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(controller->state(), Connecting);
}

TEST_F(Controller, ConnectWithoutAProfileShowsTheBoxAndChangesNothing) {
  Reach(ServiceUnavailable);
  loadResult = 2;
  EXPECT_EQ(controller->Connect(), nullptr);
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "box Quorvanta | data.vpn file not found or data corrupted | no icon"}));
  EXPECT_EQ(controller->state(), ServiceUnavailable);
}

TEST_F(Controller, ConnectSetsConnectingOrDisconnectedAndTouchesOnlyTheTray) {
  tunnelResults = {true};
  EXPECT_STREQ(controller->Connect(), "ok");
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "tray 4"}));
  log.clear();
  tunnelResults = {false};
  EXPECT_STREQ(controller->Connect(), "ok");
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "tray 3"}));
  EXPECT_EQ(controller->state(), Disconnected);
}

TEST_F(Controller, SecondConnectWhileConnectedRequestsAgain) {
  Reach(Connecting);
  Reach(Connected);
  tunnelResults = {true};
  EXPECT_STREQ(controller->Connect(), "ok");
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "tray 4"}));
  EXPECT_EQ(controller->state(), Connecting);
}

TEST_F(Controller, DisconnectWithOpenVpnConnectedWaitsForItToGo) {
  for (TunnelState s : {Connecting, Connected}) {
    SetUp();
    ReachWithOpenVpn(s);
    EXPECT_STREQ(controller->Disconnect(), "ok");
    EXPECT_EQ(controller->state(), Disconnecting);
    EXPECT_EQ(log, (Log{"page disconnecting [Disconnecting]", "tray 2 (exit set)"})) << Number(s);
    TearDown();
  }
}

// Nothing would come to end a Disconnecting with no OpenVPN on the line, and
// that state offers neither Connect nor Disconnect.
TEST_F(Controller, DisconnectWithNoOpenVpnOnTheLineEndsDisconnectedAtOnce) {
  for (TunnelState s : kAll) {
    SetUp();
    Reach(s);
    if (s == Disconnecting) continue;
    EXPECT_STREQ(controller->Disconnect(), "ok");
    EXPECT_EQ(controller->state(), Disconnected) << Number(s);
    EXPECT_EQ(log, (Log{"page disconnecting [Disconnecting]", "page disconnected [Disconnected]", "tray 3 (exit set)"}))
        << Number(s);
    TearDown();
  }
}

TEST_F(Controller, ADisconnectThatOpenVpnNeverAnswersEndsAfterItsBound) {
  disconnectWaitMs = 10000;
  SetUp();
  ReachWithOpenVpn(Connected);
  controller->Disconnect();
  EXPECT_EQ(log, (Log{"page disconnecting [Disconnecting]", "timer 10000", "tray 2 (exit set)"}));
  log.clear();
  Fire();
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(log, (Log{"page disconnected [Disconnected]", "tray 3 (exit set)"}));
  // The late close of the old connection changes nothing more.
  log.clear();
  Send(msg::WM_MGMT_DISCONNECTED);
  EXPECT_EQ(log, (Log{"tray 3 (exit set)"}));
}

TEST_F(Controller, ManagementConnectedOnlyTellsThePageButAfterTheUsersDisconnect) {
  for (TunnelState s : kAll) {
    SetUp();
    Reach(s);
    EXPECT_TRUE(Send(msg::WM_MGMT_CONNECTED));
    EXPECT_EQ(controller->state(), s);
    if (s != Disconnecting && s != Disconnected) {
      EXPECT_EQ(log, (Log{"page connecting [Connecting]"}));
    } else {
      // An OpenVPN told to stop may still call in: the page keeps what it shows.
      EXPECT_TRUE(log.empty()) << Number(s);
    }
    TearDown();
  }
}

TEST_F(Controller, TunnelUpOnAFirstRunHidesTheWindowOnce) {
  controller->firstRun = true;
  Reach(Connecting);
  EXPECT_TRUE(Send(msg::WM_TUNNEL_UP));
  EXPECT_EQ(controller->state(), Connected);
  EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "delayed update /cfg/data.vpn", "knocker",
                      "open installed", "hide"}));
  EXPECT_FALSE(controller->firstRun);
  log.clear();
  // The next tunnel (a new management connection) runs them again.
  Send(msg::WM_MGMT_CONNECTED);
  EXPECT_TRUE(Send(msg::WM_TUNNEL_UP));
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "page connected [Connected]", "tray 5",
                      "delayed update /cfg/data.vpn", "knocker"}));
}

TEST_F(Controller, TunnelUpFromAnyStateButTheUsersDisconnect) {
  for (TunnelState s : kAll) {
    SetUp();
    Reach(s);
    EXPECT_TRUE(Send(msg::WM_TUNNEL_UP));
    if (s == Disconnecting || s == Disconnected) {
      // A tunnel the user let go is not shown as up while it goes away.
      EXPECT_EQ(controller->state(), s);
      EXPECT_TRUE(log.empty()) << Number(s);
    } else if (s == Connected) {
      // The same tunnel again: the update and the callback ran at its first time up.
      EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5"}));
    } else {
      EXPECT_EQ(controller->state(), Connected);
      EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "delayed update /cfg/data.vpn", "knocker"}));
    }
    TearDown();
  }
}

TEST_F(Controller, LostConnectionFailsOverToTheNextServer) {
  for (TunnelState s : {Connecting, Connected}) {
    SetUp();
    Reach(Connecting);
    Reach(s);
    tunnelResults = {true};
    EXPECT_TRUE(Send(msg::WM_MGMT_DISCONNECTED));
    // Nothing is requested before the wait is over, and a lost tunnel is not shown as up meanwhile.
    const Log lost = s == Connected ? Log{"page connecting [Connecting]", "tray 4", "timer 2500"} : Log{"timer 2500"};
    EXPECT_EQ(log, lost);
    EXPECT_EQ(controller->state(), Connecting);
    Fire();
    EXPECT_EQ(controller->state(), Connecting);
    Log expected = lost;
    for (const char* line : {"request", "notice 2", "tray 4"}) expected.push_back(line);
    EXPECT_EQ(log, expected);
    TearDown();
  }
}

TEST_F(Controller, LostConnectionWithNoServerLeftEndsDisconnectedWithTheWindowShown) {
  for (TunnelState s : {Connecting, Connected}) {
    SetUp();
    Reach(Connecting);
    Reach(s);
    tunnelResults = {false};
    EXPECT_TRUE(Send(msg::WM_MGMT_DISCONNECTED));
    Fire();
    EXPECT_EQ(controller->state(), Disconnected);
    Log expected = s == Connected ? Log{"page connecting [Connecting]", "tray 4"} : Log{};
    for (const char* line :
         {"timer 2500", "request", "notice 3", "display", "page disconnected [Disconnected]", "tray 3 (exit set)"})
      expected.push_back(line);
    EXPECT_EQ(log, expected);
    TearDown();
  }
}

TEST_F(Controller, LostConnectionAfterDisconnectRequestsNothing) {
  ReachWithOpenVpn(Connected);
  controller->Disconnect();
  log.clear();
  EXPECT_TRUE(Send(msg::WM_MGMT_DISCONNECTED));
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(log, (Log{"page disconnected [Disconnected]", "tray 3 (exit set)"}));
}

TEST_F(Controller, LostConnectionInIdleStatesOnlyRefreshesTheTray) {
  for (TunnelState s : {WaitingForService, ServiceUnavailable, Disconnected}) {
    SetUp();
    Reach(s);
    EXPECT_TRUE(Send(msg::WM_MGMT_DISCONNECTED));
    EXPECT_EQ(controller->state(), s);
    EXPECT_EQ(log, (Log{"tray " + std::to_string(Number(s))}));
    TearDown();
  }
}

TEST_F(Controller, TrafficReachesThePageOnlyWhenConnected) {
  for (TunnelState s : kAll) {
    SetUp();
    Reach(s);
    EXPECT_TRUE(Send(msg::WM_MGMT_BYTECOUNT, 2904, 1055000));
    if (s == Connected) {
      EXPECT_EQ(log, (Log{"page updateTraffic [2 kB] [1 MB]"}));
    } else {
      EXPECT_TRUE(log.empty()) << Number(s);
    }
    EXPECT_EQ(controller->state(), s);
    TearDown();
  }
}

TEST_F(Controller, WalksTheListUntilEmptyThenEndsDisconnected) {
  tunnelResults = {true, true, true, false};
  controller->Connect();
  Send(msg::WM_MGMT_CONNECTED);
  Send(msg::WM_MGMT_DISCONNECTED);  // server 2 of 3
  Fire();
  Send(msg::WM_MGMT_DISCONNECTED);  // server 3 of 3
  Fire();
  EXPECT_EQ(controller->state(), Connecting);
  Send(msg::WM_MGMT_DISCONNECTED);  // the list is empty
  Fire();
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "tray 4", "page connecting [Connecting]", "timer 2500",
                      "request", "notice 2", "tray 4", "timer 2500", "request", "notice 2", "tray 4", "timer 2500",
                      "request", "notice 3", "display", "page disconnected [Disconnected]", "tray 3 (exit set)"}));
}

TEST_F(Controller, DisconnectDuringTheFailoverWaitCancelsItAndEndsDisconnected) {
  for (TunnelState s : {Connecting, Connected}) {
    SetUp();
    Reach(Connecting);
    Reach(s);
    tunnelResults = {true};
    Send(msg::WM_MGMT_DISCONNECTED);
    EXPECT_TRUE(controller->FailoverPending());
    EXPECT_STREQ(controller->Disconnect(), "ok");
    EXPECT_FALSE(controller->FailoverPending());
    EXPECT_TRUE(timers.empty());
    EXPECT_EQ(controller->state(), Disconnected);
    Log expected = s == Connected ? Log{"page connecting [Connecting]", "tray 4"} : Log{};
    for (const char* line : {"timer 2500", "cancel", "page disconnecting [Disconnecting]",
                             "page disconnected [Disconnected]", "tray 3 (exit set)"})
      expected.push_back(line);
    EXPECT_EQ(log, expected);
    // Nothing that arrives later brings the failover back.
    log.clear();
    Send(msg::WM_MGMT_DISCONNECTED);
    EXPECT_EQ(log, (Log{"tray 3 (exit set)"}));
    EXPECT_EQ(tunnelResults.size(), 1u);  // no request was made
    TearDown();
  }
}

TEST_F(Controller, TheFailoverWaitKeepsOtherEventsFlowingAndStartsOnlyOnce) {
  Reach(Connecting);
  Reach(Connected);
  Send(msg::WM_MGMT_DISCONNECTED);
  Send(msg::WM_MGMT_DISCONNECTED);  // a second loss while waiting adds no second timer
  Send(msg::WM_MGMT_CONNECTED);
  Send(msg::WM_MGMT_BYTECOUNT, 5, 6);
  EXPECT_EQ(timers.size(), 1u);
  // The lost tunnel's counters no longer reach the page.
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "tray 4", "timer 2500", "page connecting [Connecting]"}));
  log.clear();
  tunnelResults = {true};
  Fire();
  EXPECT_EQ(log, (Log{"request", "notice 2", "tray 4"}));
}

TEST_F(Controller, ConnectDuringTheFailoverWaitReplacesIt) {
  Reach(Connecting);
  Send(msg::WM_MGMT_DISCONNECTED);
  tunnelResults = {true};
  EXPECT_STREQ(controller->Connect(), "ok");
  EXPECT_TRUE(timers.empty());
  EXPECT_EQ(log, (Log{"timer 2500", "load /cfg/data.vpn", "cancel", "request", "tray 4"}));
  EXPECT_EQ(controller->state(), Connecting);
}

TEST_F(Controller, DestroyedDuringTheFailoverWaitLeavesNoTimerBehind) {
  Reach(Connecting);
  Send(msg::WM_MGMT_DISCONNECTED);
  controller.reset();
  EXPECT_TRUE(timers.empty());
  EXPECT_EQ(log, (Log{"timer 2500", "cancel"}));
}

TEST_F(Controller, WithoutATimerTheFailoverHappensAtOnce) {
  ControllerHooks hooks;
  hooks.loadProfile = [](const char*) { return 0; };
  hooks.startTunnel = [this] {
    log.push_back("request");
    return true;
  };
  hooks.startTimer = [](unsigned, std::function<void()>) { return 0u; };
  hooks.cancelTimer = [](unsigned) { ADD_FAILURE() << "no timer was made"; };
  ConnectionController local(*view, *signal, hooks);
  local.Connect();
  log.clear();
  local.HandleMessage(platform::Message{msg::WM_MGMT_DISCONNECTED, 0, 0});
  EXPECT_EQ(log, (Log{"request", "notice 2", "tray 4"}));
  EXPECT_FALSE(local.FailoverPending());
}

// A request that brings no management connection (OpenVPN missing, ended at
// once, refused its options) counts as a lost connection.
TEST_F(Controller, StartWithoutAManagementConnectionFailsOverThenEnds) {
  startWaitMs = 10000;
  SetUp();
  Reach(Connecting);
  ASSERT_EQ(timers.size(), 1u);
  tunnelResults = {true};
  Fire();
  EXPECT_EQ(controller->state(), Connecting);
  EXPECT_EQ(log, (Log{"request", "timer 10000", "notice 2", "tray 4"}));
  log.clear();
  tunnelResults = {false};
  Fire();
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(log, (Log{"request", "notice 3", "display", "page disconnected [Disconnected]", "tray 3 (exit set)"}));
  EXPECT_TRUE(timers.empty());
}

TEST_F(Controller, TheStartWaitEndsWithTheConnectionOrTheUser) {
  startWaitMs = 10000;
  SetUp();
  Reach(Connecting);
  Send(msg::WM_MGMT_CONNECTED);
  EXPECT_EQ(log, (Log{"cancel", "page connecting [Connecting]"}));
  EXPECT_TRUE(timers.empty());
  // A lost connection's failover waits for the next OpenVPN's call again.
  Send(msg::WM_MGMT_DISCONNECTED);
  tunnelResults = {true};
  Fire();
  EXPECT_TRUE(controller->StartPending());
  log.clear();
  controller->Disconnect();
  EXPECT_FALSE(controller->StartPending());
  EXPECT_TRUE(timers.empty());
  // A start that never calls in leaves nothing to wait for: the Disconnect ends at once.
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(log, (Log{"cancel", "page disconnecting [Disconnecting]", "page disconnected [Disconnected]",
                      "tray 3 (exit set)"}));
  // That OpenVPN calling in late, or going, shows nothing new.
  log.clear();
  Send(msg::WM_MGMT_CONNECTED);
  Send(msg::WM_TUNNEL_UP);
  Send(msg::WM_MGMT_DISCONNECTED);
  EXPECT_EQ(log, (Log{"tray 3 (exit set)"}));
  EXPECT_EQ(controller->state(), Disconnected);
}

TEST_F(Controller, AReconnectIsShownAsOneAndTheTunnelsWorkRunsOncePerTunnel) {
  ReachWithOpenVpn(Connecting);
  Send(msg::WM_TUNNEL_UP);
  log.clear();
  EXPECT_TRUE(Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectPingTimeout));
  EXPECT_EQ(controller->state(), Connecting);
  EXPECT_EQ(controller->shown(), ShownState::Reconnecting);
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "tray 6", "notice 0"}));
  // OpenVPN's later restarts inside the same reconnect change nothing more; counters stay off the page.
  log.clear();
  Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectTlsError);
  Send(msg::WM_MGMT_BYTECOUNT, 1, 2);
  EXPECT_TRUE(log.empty());
  Send(msg::WM_TUNNEL_UP);
  EXPECT_EQ(controller->state(), Connected);
  EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "notice 1"}));
  // A reconnect lost for good fails over like any lost connection, shown as Connecting.
  Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectServerReset);
  log.clear();
  tunnelResults = {true};
  Send(msg::WM_MGMT_DISCONNECTED);
  EXPECT_EQ(controller->shown(), ShownState::Connecting);
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "tray 4", "timer 2500"}));
}

TEST_F(Controller, RestartsDuringTheFirstConnectAreShownButNotToldAsALoss) {
  ReachWithOpenVpn(Connecting);
  Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectTlsError);
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "tray 6"}));
  log.clear();
  Send(msg::WM_TUNNEL_UP);
  EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "delayed update /cfg/data.vpn", "knocker"}));
}

TEST_F(Controller, ReconnectingOutsideATunnelCausesNothing) {
  for (TunnelState s : {WaitingForService, ServiceUnavailable, Disconnecting, Disconnected}) {
    SetUp();
    Reach(s);
    Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectOther);
    EXPECT_EQ(controller->state(), s);
    EXPECT_TRUE(log.empty()) << Number(s);
    TearDown();
  }
}

TEST_F(Controller, ANetworkChangeRestartsOnlyATunnelThatOpenVpnHolds) {
  ReachWithOpenVpn(Connected);
  EXPECT_TRUE(Send(msg::WM_NETWORK_CHANGED, msg::NetworkResumed));
  EXPECT_EQ(log, (Log{"restart", "page connecting [Connecting]", "tray 6", "notice 0"}));
  EXPECT_EQ(controller->shown(), ShownState::Reconnecting);
  // Another change while it reconnects restarts it again (the network moved on), shown once.
  log.clear();
  Send(msg::WM_NETWORK_CHANGED, msg::NetworkRouteChanged);
  EXPECT_EQ(log, (Log{"restart"}));
  // In the failover wait and outside a tunnel there is no OpenVPN to restart.
  log.clear();
  Send(msg::WM_MGMT_DISCONNECTED);
  log.clear();
  Send(msg::WM_NETWORK_CHANGED, msg::NetworkRouteChanged);
  EXPECT_TRUE(log.empty());
  controller->Disconnect();
  log.clear();
  Send(msg::WM_NETWORK_CHANGED, msg::NetworkResumed);
  EXPECT_TRUE(log.empty());
}

// A stopped OpenVPN (or a machine asleep) says nothing, and nothing passes.
TEST_F(Controller, AnOpenVpnThatFallsSilentIsShownReconnectingUntilItSpeaksAgain) {
  counterSilenceMs = 10000;
  SetUp();
  ReachWithOpenVpn(Connecting);
  Send(msg::WM_TUNNEL_UP);
  ASSERT_EQ(timers.size(), 1u);
  log.clear();
  Send(msg::WM_MGMT_BYTECOUNT, 10, 20);  // counters re-arm the watch
  EXPECT_EQ(log, (Log{"cancel", "timer 10000", "page updateTraffic [10 Bytes] [20 Bytes]"}));
  log.clear();
  Fire();
  EXPECT_EQ(controller->shown(), ShownState::Reconnecting);
  EXPECT_EQ(log, (Log{"page connecting [Connecting]", "tray 6", "notice 0"}));
  // Counters again: the server may have dropped the tunnel meanwhile, so it is restarted,
  // and only OpenVPN's CONNECTED brings the green back.
  log.clear();
  Send(msg::WM_MGMT_BYTECOUNT, 30, 40);
  EXPECT_EQ(log, (Log{"restart"}));
  log.clear();
  Send(msg::WM_MGMT_BYTECOUNT, 50, 60);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(controller->shown(), ShownState::Reconnecting);
  Send(msg::WM_TUNNEL_UP);
  EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "timer 10000", "notice 1"}));
  // Silent again, then OpenVPN restarts by itself: its word replaces the guess, nothing is restarted twice.
  Fire();
  Send(msg::WM_TUNNEL_RECONNECTING, msg::ReconnectPingTimeout);
  log.clear();
  Send(msg::WM_MGMT_BYTECOUNT, 50, 60);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(controller->shown(), ShownState::Reconnecting);
  // An idle tunnel whose counters keep coming stays green: no timer fires while they do.
  Send(msg::WM_TUNNEL_UP);
  for (int i = 0; i < 5; ++i) Send(msg::WM_MGMT_BYTECOUNT, 50, 60);
  EXPECT_EQ(timers.size(), 1u);
  EXPECT_EQ(controller->state(), Connected);
  controller->Disconnect();
  EXPECT_TRUE(timers.empty());
}

// After an outage longer than the server list the tunnel comes back by itself.
TEST_F(Controller, AListThatRanOutIsTriedAgainLaterOrWhenTheNetworkChanges) {
  retryFirstMs = 15000;
  SetUp();
  ReachWithOpenVpn(Connected);
  tunnelResults = {false};
  Send(msg::WM_MGMT_DISCONNECTED);
  log.clear();
  Fire();  // the failover finds the list empty
  EXPECT_EQ(controller->state(), Disconnected);
  EXPECT_EQ(controller->shown(), ShownState::WaitingForNetwork);
  // The session is given up: the service lifts its block while the program waits.
  EXPECT_EQ(log, (Log{"request", "notice 3", "display", "page disconnected [Disconnected]", "timer 15000",
                      "tray 7 (exit set)"}));
  // The round: the profile read again and the list from its start; it fails too, and the wait doubles.
  log.clear();
  tunnelResults = {true};
  Fire();
  EXPECT_EQ(log, (Log{"load /cfg/data.vpn", "request", "page connecting [Connecting]", "tray 4"}));
  Send(msg::WM_MGMT_DISCONNECTED);
  tunnelResults = {true, false};
  log.clear();
  Fire();  // to the second server, with no notice
  Send(msg::WM_MGMT_DISCONNECTED);
  Fire();
  EXPECT_EQ(log, (Log{"request", "tray 4", "timer 2500", "request", "page disconnected [Disconnected]", "timer 30000",
                      "tray 7 (exit set)"}));
  // The network changes: the next round at once, and the waiting ends with the tunnel.
  log.clear();
  tunnelResults = {true};
  Send(msg::WM_NETWORK_CHANGED, msg::NetworkRouteChanged);
  EXPECT_EQ(log, (Log{"cancel", "load /cfg/data.vpn", "request", "page connecting [Connecting]", "tray 4"}));
  Send(msg::WM_MGMT_CONNECTED);
  log.clear();
  Send(msg::WM_TUNNEL_UP);
  EXPECT_EQ(log, (Log{"page connected [Connected]", "tray 5", "notice 1", "delayed update /cfg/data.vpn", "knocker"}));
  EXPECT_TRUE(timers.empty());
  EXPECT_FALSE(controller->WaitingForNetwork());
  // The wait starts again from 15 s after a tunnel was up.
  tunnelResults = {false};
  Send(msg::WM_MGMT_DISCONNECTED);
  Fire();
  EXPECT_EQ(timers.size(), 1u);
  log.clear();
  ASSERT_FALSE(timers.empty());
  // The user's Disconnect ends the waiting.
  controller->Disconnect();
  EXPECT_TRUE(timers.empty());
  EXPECT_EQ(controller->shown(), ShownState::Disconnected);
}

TEST_F(Controller, TheWaitForTheNetworkDoublesUpToFiveMinutesAndTheUsersConnectEndsIt) {
  retryFirstMs = 15000;
  SetUp();
  tunnelResults = {false};
  controller->Connect();  // the user's own: nothing to wait for yet
  EXPECT_FALSE(controller->WaitingForNetwork());
  ReachWithOpenVpn(Connecting);
  tunnelResults = {false};
  Send(msg::WM_MGMT_DISCONNECTED);
  Fire();
  std::vector<std::string> waits;
  for (int round = 0; round < 7; ++round) {
    ASSERT_EQ(timers.size(), 1u);
    waits.push_back(log.back().rfind("tray 7", 0) == 0 ? log[log.size() - 2] : log.back());
    log.clear();
    loadResult = round == 2 ? 2 : 0;  // a profile that cannot be read waits for the next round, quietly
    tunnelResults = {false};
    Fire();
  }
  EXPECT_EQ(waits, (std::vector<std::string>{"timer 15000", "timer 30000", "timer 60000", "timer 120000",
                                             "timer 240000", "timer 300000", "timer 300000"}));
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("box", 0) == 0; }), 0);
  loadResult = 0;
  tunnelResults = {true};
  controller->Connect();
  EXPECT_TRUE(timers.size() == 0 || !controller->WaitingForNetwork());
  EXPECT_EQ(controller->state(), Connecting);
}

TEST_F(Controller, EveryShownStateOffersAWayOnButTheTwoBoundedWaits) {
  for (unsigned n = 0; n < kShownStateCount; ++n) {
    const auto state = static_cast<ShownState>(n);
    const StateLook& look = LookOf(state);
    const bool boundedWait = state == ShownState::WaitingForService || state == ShownState::Disconnecting;
    EXPECT_EQ(look.connectOffered || look.disconnectOffered, !boundedWait) << n;
    // Waiting for the network, the user may take over (Connect) or stop the waiting (Disconnect).
    EXPECT_EQ(look.connectOffered && look.disconnectOffered, state == ShownState::WaitingForNetwork) << n;
  }
  EXPECT_STREQ(LookOf(ShownState::WaitingForNetwork).tooltip, "Waiting for the network");
  EXPECT_EQ(LookOf(ShownState::WaitingForNetwork).colour, TrayRed);
  EXPECT_STREQ(LookOf(ShownState::Reconnecting).tooltip, "Reconnecting");
  EXPECT_EQ(LookOf(ShownState::Reconnecting).colour, TrayYellow);
  EXPECT_STREQ(LookOf(ShownState::Reconnecting).pageFunction, "connecting");
}

TEST_F(Controller, ATakenManagementPortRequestsNoTunnelAndSaysWhy) {
  portTaken = true;
  SetUp();
  signal->Reset();
  EXPECT_EQ(controller->Connect(), nullptr);
  Send(msg::WM_SERVICE_STATUS, 1);
  EXPECT_EQ(controller->state(), Disconnected);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], log[2]);
  EXPECT_NE(log[0].find("box Quorvanta | Port 63782 on 127.0.0.1 is taken: another program holds it"),
            std::string::npos)
      << log[0];
  EXPECT_EQ(log[1], "tray 3");
}

TEST(ControllerDefaults, RealRequestGoesToTheServiceAndWaitsTheFailoverTime) {
  qvtest::SetEnv("QUORVANTA_OBJECT_NAMESPACE", ("qvtest" + qvtest::ProcessTag()).c_str());
  FakeService service;
  qvtest::SetEnv("QUORVANTA_PIPE", service.path().c_str());
  CreateSharedLists();
  {
    Signal signal;
    std::vector<std::string> log;
    RecordingView view(log, nullptr);
    ControllerHooks hooks;
    hooks.loadProfile = [](const char*) {
      std::lock_guard<std::mutex> lock(ListsLock);
      PushBack(Servers, NewServerEntry("b:2:tcp", 7));
      PushBack(Servers, NewServerEntry("a:1:udp", 7));
      return 0;
    };
    hooks.managementWaitMs = 0;  // the failover wait alone
    unsigned waited = 0;
    std::function<void()> due;
    hooks.startTimer = [&](unsigned ms, std::function<void()> fire) {
      waited += ms;
      due = std::move(fire);
      return 1u;
    };
    ConnectionController controller(view, signal, hooks);
    EXPECT_STREQ(controller.Connect(), "ok");
    EXPECT_EQ(controller.state(), Connecting);
    controller.HandleMessage(platform::Message{msg::WM_MGMT_DISCONNECTED, 0, 0});
    ASSERT_TRUE(due);
    EXPECT_TRUE(service.WaitConnections(1));
    due();
    EXPECT_EQ(controller.state(), Connecting);
    EXPECT_EQ(waited, 2500u);
    ASSERT_TRUE(service.WaitConnections(2));
    auto received = service.Received();
    EXPECT_NE(received[0].find("--remote a 1 --proto udp"), std::string::npos);
    EXPECT_NE(received[1].find("--remote b 2 --proto tcp"), std::string::npos);
  }
  platform::RemoveNamedEvent(kExitEventName);
  FreeSharedLists();
}

}  // namespace
