// End to end on loopback: tunnel control (listener, protocol handler, service
// request, controller) in this process, quorvanta-tunneld, and Debian's
// OpenVPN as client (dev null) and server (a root-only tun). The servers
// accept only user name = password = the machine identity.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/shared_state.h"
#include "runtime/signal.h"
#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "runtime/server_list.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "tunnel/service_request.h"
#include "tunnel/tunnel_control.h"

namespace {

using enum TunnelState;

using qvtest::NowMs;
using qvtest::RunningProgram;
using qvtest::TempDir;

constexpr const char* kIdentity = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";
constexpr const char* kOtherIdentity = "00000000-1111-2222-3333-444444444444";
constexpr const char* kOpenVpn = "/usr/sbin/openvpn";
constexpr int kStepMs = 20000;

// A port on 127.0.0.1 that nothing uses right now (for live and dead servers).
int FreePort(int type) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

struct Event {
  long ms;
  std::string text;
};

// The page, tray and window as the controller drives them, with times.
class RecordingView : public ControllerView {
 public:
  void CallPageFunction(const char* name, const char* const* args, int count) override {
    std::string line = std::string("page ") + name;
    for (int i = 0; i < count; ++i) line += std::string(" ") + args[i];
    Add(line);
  }
  void UpdateTrayIcon(ShownState state) override { Add("tray " + std::to_string(Number(state))); }
  void Display() override { Add("display"); }
  void Hide() override { Add("hide"); }

  void Add(const std::string& text) { events.push_back({NowMs(), text}); }
  size_t Count(const std::string& prefix) const {
    return static_cast<size_t>(std::count_if(
        events.begin(), events.end(), [&](const Event& e) { return e.text.compare(0, prefix.size(), prefix) == 0; }));
  }
  const Event* Last(const std::string& prefix) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->text.compare(0, prefix.size(), prefix) == 0) return &*it;
    }
    return nullptr;
  }
  std::string Dump() const {
    std::string s;
    for (const auto& e : events) s += std::to_string(e.ms) + " " + e.text + "\n";
    return s;
  }
  std::vector<Event> events;
};

int g_updates = 0;
void CountUpdate(const char*) { ++g_updates; }

class TunnelEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || access(kOpenVpn, X_OK) != 0 || access("/dev/net/tun", R_OK | W_OK) != 0) {
      return;  // each test skips with the reason
    }
    dir_ = new TempDir();
    ns_ = "e2e" + std::to_string(getpid());
    setenv("QUORVANTA_OBJECT_NAMESPACE", ns_.c_str(), 1);
    const std::string script = std::string(QV_TUNNEL_TEST_DIR) + "/openvpn-loopback.sh";
    const std::string d = dir_->path();
    ASSERT_EQ(std::system((script + " pki " + d + "/pki").c_str()), 0);
    // The client's configuration directory: the test config.qvpn and the CA.
    mkdir((d + "/etc").c_str(), 0755);
    ASSERT_EQ(
        std::system(
            ("cp " + std::string(QV_TUNNEL_TEST_DIR) + "/config.qvpn " + d + "/pki/ca.crt " + d + "/etc/").c_str()),
        0);
    udpPort_ = FreePort(SOCK_DGRAM);
    tcpPort_ = FreePort(SOCK_STREAM);
    otherPort_ = FreePort(SOCK_DGRAM);
    deadUdpPort_ = FreePort(SOCK_DGRAM);
    deadTcpPort_ = FreePort(SOCK_STREAM);
    // Tun names must be unique on the machine and at most 15 characters.
    const std::string tag = std::to_string(getpid() % 100000);
    struct ServerSetup {
      std::string name, proto;
      int port;
      const char* identity;
    } setups[] = {{"u" + tag, "udp", udpPort_, kIdentity},
                  {"t" + tag, "tcp", tcpPort_, kIdentity},
                  {"o" + tag, "udp", otherPort_, kOtherIdentity}};
    for (const auto& s : setups) {
      ASSERT_EQ(std::system((script + " server " + d + "/pki " + s.name + " " + s.proto + " " + std::to_string(s.port) +
                             " " + s.identity)
                                .c_str()),
                0);
      auto* server = new RunningProgram();
      servers_.push_back(server);
      ASSERT_TRUE(server->Start({kOpenVpn, "--cd", d + "/pki", "--config", s.name + ".conf"}));
      ASSERT_TRUE(server->WaitForLine("Initialization Sequence Completed", kStepMs)) << server->Output();
    }
    socket_ = d + "/run/QuorvantaPipe";
    setenv("QUORVANTA_PIPE", socket_.c_str(), 1);
    service_ = new RunningProgram();
    ASSERT_TRUE(service_->Start(
        {QV_TUNNELD, "--socket", socket_, "--config-dir", d + "/etc", "--openvpn", kOpenVpn, "--dns-hook", "none"}));
    ASSERT_TRUE(service_->WaitForLine("serving", kStepMs)) << service_->Output();
  }

  static void TearDownTestSuite() {
    if (service_) service_->Stop(SIGTERM, kStepMs);
    for (auto* s : servers_) {
      s->Stop(SIGTERM, kStepMs);
      delete s;
    }
    servers_.clear();
    delete service_;
    service_ = nullptr;
    platform::RemoveNamedEvent(kExitEventName);
    delete dir_;
    dir_ = nullptr;
    unsetenv("QUORVANTA_PIPE");
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  }

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the OpenVPN server opens a tun device";
    if (access(kOpenVpn, X_OK) != 0) GTEST_SKIP() << "needs Debian's openvpn at " << kOpenVpn;
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/net/tun";
    ASSERT_NE(service_, nullptr);
    g_updates = 0;
    std::snprintf(MachineId, sizeof MachineId, "%s", kIdentity);
    CreateSharedLists();
    signal_ = std::make_unique<Signal>();
    ASSERT_TRUE(signal_->IsValid());
  }

  void TearDown() override {
    if (control_) {
      control_->server().Stop();
      control_.reset();
    }
    signal_.reset();  // sets the exit event: the service stops the running OpenVPN
    FreeSharedLists();
    if (!HasFailure()) return;
    std::printf("--- front end\n%s--- service\n%s", view_.Dump().c_str(), service_ ? service_->Output().c_str() : "");
  }

  // Starts tunnel control as the main window does; Connect follows the probe.
  // entries are taken from the back, as StartTunnel does.
  void Start(const std::vector<std::string>& entries) {
    ControllerHooks hooks;
    hooks.loadProfile = [entries](const char*) {
      std::lock_guard<std::mutex> lock(ListsLock);
      for (const auto& e : entries) PushBack(Servers, NewServerEntry(e.c_str(), e.size()));
      return 0;
    };
    hooks.startTunnel = [this] {
      view_.Add("request");
      return StartTunnel(*signal_, &CountUpdate);
    };
    hooks.startDelayedServerListUpdate = [this](const char*) { view_.Add("delayed update"); };
    hooks.startKnocker = [this] { view_.Add("knocker"); };
    hooks.startOpenInstalled = [this] { view_.Add("open installed"); };
    // The failover wait runs on this loop's own timers.
    hooks.startTimer = [this](unsigned ms, std::function<void()> fire) {
      timers_.push_back({++lastTimer_, NowMs() + static_cast<long>(ms), std::move(fire)});
      return lastTimer_;
    };
    hooks.cancelTimer = [this](unsigned id) {
      timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                    timers_.end());
    };
    control_ = std::make_unique<TunnelControl>(view_, *signal_, hooks);
    control_->init().SetProbe(10, 200);
    control_->Start(&queue_);
    ASSERT_EQ(control_->server().WaitListening(), ManagementPort) << "the management port is held by another program";
  }

  // Runs the user-interface loop until done() holds; false after timeoutMs.
  bool Pump(const std::function<bool()>& done, int timeoutMs = kStepMs) {
    const long deadline = NowMs() + timeoutMs;
    while (!done()) {
      long now = NowMs();
      if (deadline - now <= 0) return false;
      long wait = deadline - now;
      for (size_t i = 0; i < timers_.size(); ++i) {
        if (timers_[i].due > now) {
          wait = std::min(wait, timers_[i].due - now);
          continue;
        }
        std::function<void()> fire = std::move(timers_[i].fire);
        timers_.erase(timers_.begin() + static_cast<long>(i));
        fire();
        wait = 0;
        break;
      }
      if (wait == 0) continue;
      platform::Message m;
      if (queue_.WaitTake(&m, static_cast<int>(wait))) control_->HandleMessage(m);
    }
    return true;
  }
  bool PumpUntilCount(const std::string& prefix, size_t n, int timeoutMs = kStepMs) {
    return Pump([&] { return view_.Count(prefix) >= n; }, timeoutMs);
  }

  // The pid of the OpenVPN the service started last.
  pid_t LastOpenVpnPid() {
    std::string line = service_->LastLineWith("started OpenVPN (pid ");
    if (line.empty()) return -1;
    return static_cast<pid_t>(std::atoi(line.c_str() + line.find("(pid ") + 5));
  }

  static std::string Entry(int port, const char* proto) { return "127.0.0.1:" + std::to_string(port) + ":" + proto; }

  static TempDir* dir_;
  static std::string ns_, socket_;
  static std::vector<RunningProgram*> servers_;
  static RunningProgram* service_;
  static int udpPort_, tcpPort_, otherPort_, deadUdpPort_, deadTcpPort_;

  platform::MessageQueue queue_;
  struct Timer {
    unsigned id;
    long due;
    std::function<void()> fire;
  };
  std::vector<Timer> timers_;
  unsigned lastTimer_ = 0;
  RecordingView view_;
  std::unique_ptr<Signal> signal_;
  std::unique_ptr<TunnelControl> control_;
};

TempDir* TunnelEndToEnd::dir_ = nullptr;
std::string TunnelEndToEnd::ns_, TunnelEndToEnd::socket_;
std::vector<RunningProgram*> TunnelEndToEnd::servers_;
RunningProgram* TunnelEndToEnd::service_ = nullptr;
int TunnelEndToEnd::udpPort_, TunnelEndToEnd::tcpPort_, TunnelEndToEnd::otherPort_, TunnelEndToEnd::deadUdpPort_,
    TunnelEndToEnd::deadTcpPort_;

TEST_F(TunnelEndToEnd, UdpTunnelComesUpCountsTrafficAndDisconnectsThroughTheExitEvent) {
  ASSERT_NO_FATAL_FAILURE(Start({Entry(udpPort_, "udp")}));
  ASSERT_TRUE(PumpUntilCount("page connected", 1)) << view_.Dump();
  EXPECT_EQ(view_.Count("page connecting"), 1u);
  EXPECT_EQ(view_.Last("tray")->text, "tray 5");
  EXPECT_EQ(view_.Count("knocker"), 1u);
  EXPECT_EQ(view_.Count("delayed update"), 1u);
  std::printf("request -> connected: %ld ms\n", view_.Last("page connected")->ms - view_.Last("request")->ms);

  // Counters every 3 seconds (OpenVPN's timer drifts a little).
  ASSERT_TRUE(PumpUntilCount("page updateTraffic", 3, 12000)) << view_.Dump();
  std::vector<long> at;
  for (const auto& e : view_.events) {
    if (e.text.compare(0, 18, "page updateTraffic") == 0) at.push_back(e.ms);
  }
  EXPECT_GE(at[2] - at[0], 5000) << view_.Dump();
  EXPECT_LE(at[2] - at[0], 7500) << view_.Dump();
  EXPECT_NE(view_.Last("page updateTraffic")->text.find(" kB "), std::string::npos) << view_.Dump();

  control_->controller().Disconnect();
  ASSERT_TRUE(PumpUntilCount("page disconnected", 1)) << view_.Dump();
  EXPECT_EQ(view_.Last("tray")->text, "tray 3");
  EXPECT_EQ(control_->controller().state(), Disconnected);
  EXPECT_TRUE(service_->WaitForLine("the exit event was set", kStepMs));
  EXPECT_TRUE(service_->WaitForLine("exited with status 0", kStepMs));
}

TEST_F(TunnelEndToEnd, TcpTunnelComesUpAndDisconnects) {
  ASSERT_NO_FATAL_FAILURE(Start({Entry(tcpPort_, "tcp")}));
  ASSERT_TRUE(PumpUntilCount("page connected", 1)) << view_.Dump();
  control_->controller().Disconnect();
  ASSERT_TRUE(PumpUntilCount("page disconnected", 1)) << view_.Dump();
  EXPECT_EQ(control_->controller().state(), Disconnected);
  EXPECT_EQ(view_.Count("request"), 1u);
}

TEST_F(TunnelEndToEnd, DeadAndLiveServerEndConnectedInEitherOrder) {
  // The profile is shuffled on loading: both orders must end connected.
  for (bool deadFirst : {true, false}) {
    SCOPED_TRACE(deadFirst ? "dead server tried first" : "live server tried first");
    view_.events.clear();
    if (deadFirst)
      ASSERT_NO_FATAL_FAILURE(Start({Entry(udpPort_, "udp"), Entry(deadUdpPort_, "udp")}));
    else
      ASSERT_NO_FATAL_FAILURE(Start({Entry(deadUdpPort_, "udp"), Entry(udpPort_, "udp")}));
    ASSERT_TRUE(PumpUntilCount("page connected", 1, 30000)) << view_.Dump();
    EXPECT_EQ(view_.Count("request"), deadFirst ? 2u : 1u);
    EXPECT_EQ(control_->controller().state(), Connected);
    if (deadFirst) {
      // The unreachable UDP server: connect-retry-max ends OpenVPN with status 1.
      EXPECT_TRUE(service_->WaitForLine("exited with status 1", kStepMs)) << service_->Output();
    }
    control_->controller().Disconnect();
    ASSERT_TRUE(PumpUntilCount("page disconnected", 1)) << view_.Dump();
    control_->server().Stop();
    control_.reset();
  }
}

TEST_F(TunnelEndToEnd, TwoDeadServersEndDisconnectedWithUpdateAndWindow) {
  const size_t failedBefore = service_->CountLines("exited with status 1");
  ASSERT_NO_FATAL_FAILURE(Start({Entry(deadUdpPort_, "udp"), Entry(deadTcpPort_, "tcp")}));
  ASSERT_TRUE(PumpUntilCount("page disconnected", 1, 40000)) << view_.Dump();
  EXPECT_EQ(view_.Count("request"), 3u);  // two servers, then the empty list
  EXPECT_EQ(g_updates, 1);
  EXPECT_EQ(view_.Count("display"), 1u);
  EXPECT_EQ(view_.Count("page connected"), 0u);
  // Disconnected, waiting for the network to try again by itself.
  EXPECT_EQ(view_.Last("tray")->text, "tray 7");
  EXPECT_EQ(control_->controller().state(), Disconnected);
  EXPECT_TRUE(control_->controller().WaitingForNetwork());
  // connect-retry-max ends both OpenVPNs (UDP and TCP) with status 1.
  EXPECT_EQ(service_->CountLines("exited with status 1") - failedBefore, 2u) << service_->Output();
}

TEST_F(TunnelEndToEnd, WrongIdentityFailsAuthenticationAndFailsOver) {
  // The server taken first knows another identity: OpenVPN exits by itself
  // after AUTH_FAILED, and the next server takes us in.
  ASSERT_NO_FATAL_FAILURE(Start({Entry(udpPort_, "udp"), Entry(otherPort_, "udp")}));
  ASSERT_TRUE(PumpUntilCount("page connected", 1, 30000)) << view_.Dump();
  EXPECT_EQ(view_.Count("request"), 2u);
  EXPECT_EQ(view_.Count("page connecting"), 2u);
  EXPECT_TRUE(servers_[2]->WaitForLine("Username/Password verification failed", kStepMs)) << servers_[2]->Output();
}

TEST_F(TunnelEndToEnd, KilledOpenVpnFailsOverToTheNextServer) {
  ASSERT_NO_FATAL_FAILURE(Start({Entry(tcpPort_, "tcp"), Entry(udpPort_, "udp")}));
  ASSERT_TRUE(PumpUntilCount("page connected", 1)) << view_.Dump();
  pid_t pid = LastOpenVpnPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(PumpUntilCount("page connected", 2)) << view_.Dump();
  EXPECT_EQ(view_.Count("request"), 2u);
  EXPECT_TRUE(service_->WaitForLine("ended by signal SIGKILL", kStepMs)) << service_->Output();
  EXPECT_EQ(control_->controller().state(), Connected);
}

TEST_F(TunnelEndToEnd, StockOpenVpnRefusesScrambleAndTheLogSaysWhy) {
  // Debian's OpenVPN has no --scramble: it exits at once, before it opens the
  // management connection, so the front end stays connecting; the service's
  // log names the missing option.
  const size_t before = service_->CountLines("lacks the --scramble option");
  ASSERT_NO_FATAL_FAILURE(Start({Entry(udpPort_, "udp") + ":Scr4mbleKey"}));
  ASSERT_TRUE(PumpUntilCount("request", 1)) << view_.Dump();
  std::string line;
  ASSERT_TRUE(service_->WaitForLine("Unrecognized option", kStepMs, &line)) << service_->Output();
  EXPECT_NE(line.find("scramble"), std::string::npos) << line;
  ASSERT_TRUE(service_->WaitForLine("exited with status 1", kStepMs)) << service_->Output();
  ASSERT_TRUE(service_->WaitForLine("lacks the --scramble option", kStepMs)) << service_->Output();
  EXPECT_EQ(service_->CountLines("lacks the --scramble option") - before, 1u);
  EXPECT_EQ(view_.Count("page connecting"), 0u);
  EXPECT_EQ(control_->controller().state(), Connecting);
}

}  // namespace
