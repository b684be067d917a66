// The tunnel service with a stand-in OpenVPN: what it starts, what it
// refuses, and how it stops what it started.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include <thread>
#include <chrono>

#include "platform/named_event.h"
#include "supervisor.h"
#include "tunnel/service_request.h"
#include "support/child_process.h"
#include "support/running_program.h"

namespace {

using qvtest::RunningProgram;
using qvtest::TempDir;

constexpr int kWaitMs = 10000;
constexpr const char* kEvent = "Global\\Quorvanta_ovpn_exit_1";

std::string Request(const std::string& host = "127.0.0.1", const std::string& proto = "udp",
                    const std::string& word = "", const std::string& event = "Global\\Quorvanta_ovpn_exit_1",
                    const std::string& port = "63782") {
  const bool udp = proto == "udp";
  std::string extra = udp ? "--explicit-exit-notify " : "";
  if (!word.empty()) extra += "--scramble obfuscate " + word;
  return "openvpn.exe --service " + event + " 1 --config config.qvpn --management 127.0.0.1 " + port +
         " --management-hold --management-query-passwords --management-client --remote " + host + " 1194 --proto " +
         proto + " --hand-window " + (udp ? "5" : "10") + " --resolv-retry 0 --verb 4 " + extra;
}

// One connection: writes bytes (may be none) and closes, as the front end does.
bool Send(const std::string& socketPath, const std::string& bytes, bool close = true, int* keep = nullptr) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  // A service that has already refused the connection must not kill the writer with SIGPIPE.
  bool ok = bytes.empty() || send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  if (close)
    ::close(fd);
  else
    *keep = fd;
  return ok;
}

bool SendRequest(const std::string& socketPath, const std::string& text) {
  return Send(socketPath, std::string(text.c_str(), text.size() + 1));
}

// The same from another account: a forked child that takes uid (and gid)
// first and then lives on, as a front end does, until the test ends (or
// EndFrontEnds): the service ends a session whose front end is gone.
std::vector<int> g_frontEnds;  // a pipe's write end per child; closing it ends the child

bool SendRequestAs(uid_t uid, const std::string& socketPath, const std::string& text) {
  int report[2], hold[2];
  if (pipe(report) != 0 || pipe(hold) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    // Only its own pipes: a copy of the test's listener would outlive the test's close.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != report[1] && fd != hold[0]) close(fd);
    }
    const bool switched = setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
    const char c = switched && SendRequest(socketPath, text) ? 's' : 'f';
    if (write(report[1], &c, 1) != 1) _exit(1);
    char end;
    while (read(hold[0], &end, 1) > 0) {
    }
    _exit(0);
  }
  close(report[1]);
  close(hold[0]);
  char c = 0;
  const bool sent = pid > 0 && read(report[0], &c, 1) == 1 && c == 's';
  close(report[0]);
  g_frontEnds.push_back(hold[1]);
  return sent;
}

void EndFrontEnds() {
  for (int fd : g_frontEnds) close(fd);
  g_frontEnds.clear();
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// A listener on 127.0.0.1:63782 whose socket belongs to uid, as the front end
// of that user holds it. -1 on failure.
int ListenOnManagementPort(uid_t uid) {
  setfsuid(uid);  // a socket belongs to the file-system user that made it
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setfsuid(0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(63782);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

class TunneldTest : public ::testing::Test {
 protected:
  // The service starts OpenVPN only for the user whose front end holds the
  // management port. The port is the machine's, so each test has a network
  // of its own (which the service inherits) and holds the port there.
  void HoldManagementPort(uid_t uid) {
    if (port_ >= 0) close(port_);
    port_ = ListenOnManagementPort(uid);
    ASSERT_GE(port_, 0) << "cannot listen on 127.0.0.1:63782 in the test's network";
  }
  void SetUp() override {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a network of its own";
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    HoldManagementPort(0);
    // Each test has its own event names, so tests may run side by side.
    static int counter = 0;
    ns_ = "svc" + std::to_string(getpid()) + "x" + std::to_string(++counter);
    setenv("QUORVANTA_OBJECT_NAMESPACE", ns_.c_str(), 1);
    socket_ = dir_ / "run/sub/QuorvantaPipe";
    config_ = dir_ / "config";
    mkdir(config_.c_str(), 0755);
    std::ofstream(config_ + "/config.qvpn") << "client\n";
  }
  void TearDown() override {
    if (port_ >= 0) close(port_);
    port_ = -1;
    if (service_.Running()) service_.Stop(SIGTERM, kWaitMs);
    platform::RemoveNamedEvent("Global\\Quorvanta_ovpn_exit_1");
    unsetenv("QUORVANTA_OBJECT_NAMESPACE");
  }

  void StartService(const std::string& openvpn = QV_STANDIN_OPENVPN, const std::string& stopMs = "3000",
                    const std::string& dnsHook = "none") {
    ASSERT_TRUE(service_.Start({QV_TUNNELD, "--socket", socket_, "--config-dir", config_, "--openvpn", openvpn,
                                "--stop-timeout", stopMs, "--dns-hook", dnsHook}));
    ASSERT_TRUE(service_.WaitForLine("serving", kWaitMs)) << service_.Output();
  }
  std::string EventPath() const { return "/dev/shm/quorvanta" + ns_ + "-global-Quorvanta_ovpn_exit_1"; }
  void SetMode(const std::string& mode) { std::ofstream(config_ + "/standin.mode") << mode; }

  std::string ns_;
  int port_ = -1;
  TempDir dir_;
  std::string socket_, config_;
  RunningProgram service_;
};

TEST_F(TunneldTest, StartsOpenVpnInConfigDirWithoutServiceOption) {
  StartService();
  struct stat st;
  ASSERT_EQ(stat(socket_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // the front end runs as the desktop user

  ASSERT_TRUE(SendRequest(socket_, Request("vpn.example.net", "tcp", "K3y")));
  std::string line;
  ASSERT_TRUE(service_.WaitForLine("standin ", kWaitMs, &line)) << service_.Output();
  EXPECT_NE(line.find(" argv: --config config.qvpn --management 127.0.0.1 63782 --management-hold "
                      "--management-query-passwords --management-client --remote vpn.example.net 1194 "
                      "--proto tcp --hand-window 10 --resolv-retry 0 --verb 4 --scramble obfuscate K3y"),
            std::string::npos)
      << line;
  EXPECT_EQ(line.back(), 'y');  // nothing after the word: no trailing empty argument
  // Started in the configuration directory: it found standin.mode there (and config.qvpn).
  SetMode("exit1");
  ASSERT_TRUE(SendRequest(socket_, Request("h", "tcp", "K3y")));
  ASSERT_TRUE(service_.WaitForLine("exited with status 1", kWaitMs)) << service_.Output();
  EXPECT_TRUE(service_.WaitForLine("lacks the --scramble option", kWaitMs)) << service_.Output();
}

// The DNS hooks are the service's own, after the request's options; a hook
// that someone other than root could have changed is never run as root.
TEST_F(TunneldTest, TheServiceAddsItsOwnDnsHooksOnlyFromASafeFile) {
  const std::string hook = dir_ / "dns-hook";
  std::ofstream(hook) << "#!/bin/sh\nexit 0\n";
  ASSERT_EQ(chmod(hook.c_str(), 0755), 0);
  StartService(QV_STANDIN_OPENVPN, "3000", hook);
  ASSERT_TRUE(SendRequest(socket_, Request("one.example")));
  std::string line;
  ASSERT_TRUE(service_.WaitForLine("standin ", kWaitMs, &line)) << service_.Output();
  const std::string state = dir_ / "run/sub";
  EXPECT_NE(line.find("--explicit-exit-notify --script-security 2 --route-up " + hook + " " + state + " --down " +
                      hook + " " + state + " --down-pre"),
            std::string::npos)
      << line;
  service_.Stop(SIGTERM, kWaitMs);

  ASSERT_EQ(chmod(hook.c_str(), 0777), 0);
  StartService(QV_STANDIN_OPENVPN, "3000", hook);
  EXPECT_NE(service_.Output().find("not using the DNS hook " + hook), std::string::npos) << service_.Output();
  ASSERT_TRUE(SendRequest(socket_, Request("two.example")));
  ASSERT_TRUE(service_.WaitForLine("standin ", kWaitMs, &line)) << service_.Output();
  EXPECT_EQ(line.find("--route-up"), std::string::npos) << line;
}

TEST_F(TunneldTest, ProbesAndBadRequestsStartNothing) {
  StartService();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Send(socket_, ""));  // probes
  const std::string good = Request();
  ASSERT_TRUE(Send(socket_, good));                                    // unterminated
  ASSERT_TRUE(Send(socket_, good.substr(0, 40)));                      // client gone mid-request
  ASSERT_TRUE(SendRequest(socket_, good + "--up /bin/sh"));            // extra option
  ASSERT_TRUE(SendRequest(socket_, Request("--up")));                  // a host read as an option
  ASSERT_TRUE(Send(socket_, std::string(5000, 'A')));                  // overlong
  ASSERT_TRUE(Send(socket_, std::string("\x01\xff\0\0garbage", 11)));  // garbage
  std::string longest(1030, 'w');
  ASSERT_TRUE(SendRequest(socket_, Request("h", "tcp", longest)));
  ASSERT_TRUE(SendRequest(socket_, "echo hi > /tmp/x"));
  // A flood: the service handles connections one at a time and drops each.
  for (int i = 0; i < 200; ++i) Send(socket_, std::string("flood\0", 6));

  ASSERT_TRUE(SendRequest(socket_, good));
  ASSERT_TRUE(service_.WaitForLine("standin ", kWaitMs)) << service_.Output();
  // The stand-in may print its line before the service logs the start.
  ASSERT_TRUE(service_.WaitForCount("started OpenVPN", 1, kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines("standin "), 1u) << service_.Output();
  EXPECT_EQ(service_.CountLines("started OpenVPN"), 1u);
  EXPECT_EQ(service_.CountLines("refused request"), 208u) << service_.Output();
  EXPECT_NE(service_.Output().find("request not terminated by a NUL"), std::string::npos);
  EXPECT_NE(service_.Output().find("longer than 1024 bytes"), std::string::npos);
  EXPECT_NE(service_.Output().find("unexpected extra option"), std::string::npos);
  EXPECT_NE(service_.Output().find("bad remote host"), std::string::npos);
}

TEST_F(TunneldTest, SilentClientTimesOutAndServiceCarriesOn) {
  StartService();
  int held = -1;
  ASSERT_TRUE(Send(socket_, "openvpn.exe --serv", false, &held));
  ASSERT_TRUE(service_.WaitForLine("did not finish within 5000 ms", kWaitMs)) << service_.Output();
  close(held);
  ASSERT_TRUE(SendRequest(socket_, Request()));
  EXPECT_TRUE(service_.WaitForLine("standin ", kWaitMs)) << service_.Output();
}

TEST_F(TunneldTest, NewRequestStopsTheRunningOpenVpnFirst) {
  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request("first.example")));
  std::string first;
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs, &first));
  ASSERT_TRUE(SendRequest(socket_, Request("second.example")));
  std::string term, second;
  ASSERT_TRUE(service_.WaitForLine("TERM", kWaitMs, &term)) << service_.Output();
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs, &second)) << service_.Output();
  EXPECT_NE(first.find("first.example"), std::string::npos);
  EXPECT_NE(second.find("second.example"), std::string::npos);
  // The TERM came to the first one, and it was reaped before the second started.
  EXPECT_EQ(term.substr(0, term.find(" TERM")), first.substr(0, first.find(" argv")));
  const std::string out = service_.Output();
  EXPECT_LT(out.find("exited with status 0"), out.find("second.example"));
}

// Nothing may watch an orphaned OpenVPN's exit event: it ends with the service,
// however the service ends, and a restarted service starts its own alone.
TEST_F(TunneldTest, OpenVpnEndsWhenTheServiceIsKilled) {
  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request("one.example")));
  std::string line;
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs, &line));
  const std::string standin = line.substr(0, line.find(" argv"));
  const int pid = std::stoi(standin.substr(standin.find(' ') + 1));
  service_.Stop(SIGKILL, kWaitMs);
  // The output ends only once the stand-in, which shares it, is gone too.
  EXPECT_NE(service_.Output().find(standin + " TERM"), std::string::npos) << service_.Output();
  // Its output closes a moment before it has finished exiting: wait for the exit itself.
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (exited >= 0) {
    pollfd ready{exited, POLLIN, 0};
    poll(&ready, 1, kWaitMs);
    close(exited);
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidField, name, state;
  if (stat >> pidField >> name >> state) {
    EXPECT_EQ(state, "Z") << "OpenVPN " << pid << " outlived its service";
  }

  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request("two.example")));
  ASSERT_TRUE(service_.WaitForLine("two.example", kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines("stopping OpenVPN"), 0u) << service_.Output();
}

TEST_F(TunneldTest, StubbornOpenVpnIsKilledAfterTheStopTimeout) {
  SetMode("ignoreterm");
  StartService(QV_STANDIN_OPENVPN, "300");
  ASSERT_TRUE(SendRequest(socket_, Request("first.example")));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs));
  ASSERT_TRUE(SendRequest(socket_, Request("second.example")));
  ASSERT_TRUE(service_.WaitForLine("sending SIGKILL", kWaitMs)) << service_.Output();
  ASSERT_TRUE(service_.WaitForLine("ended by signal SIGKILL", kWaitMs)) << service_.Output();
  EXPECT_TRUE(service_.WaitForLine("second.example", kWaitMs)) << service_.Output();
}

TEST_F(TunneldTest, ExitEventStopsOpenVpnOncePerStart) {
  // The service owns the event; the front end opens it by name.
  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request("one.example")));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs));
  // Each start binds the name to a new event: the front end follows the name.
  auto event = platform::NamedEvent::Open("Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  event->Set();
  ASSERT_TRUE(service_.WaitForLine("the exit event was set", kWaitMs)) << service_.Output();
  ASSERT_TRUE(service_.WaitForLine("standin ", kWaitMs));  // its TERM line
  ASSERT_TRUE(service_.WaitForLine("exited with status 0", kWaitMs)) << service_.Output();

  // The next tunnel: the front end resets the event before its request.
  event = platform::NamedEvent::Open("Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  event->Reset();
  ASSERT_TRUE(SendRequest(socket_, Request("two.example")));
  ASSERT_TRUE(service_.WaitForLine("two.example", kWaitMs));
  service_.Drain(500);
  EXPECT_EQ(service_.CountLines(" TERM"), 1u) << service_.Output();
  // The mapping of before the start is set in vain; the name's event stops it.
  event->Set();
  service_.Drain(300);
  EXPECT_EQ(service_.CountLines(" TERM"), 1u) << service_.Output();
  event = platform::NamedEvent::Open("Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  event->Set();
  ASSERT_TRUE(service_.WaitForLine("exited with status 0", kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines(" TERM"), 2u) << service_.Output();

  // Set while nothing runs: the next OpenVPN has an event of its own, clear,
  // so nobody can end a tunnel before it starts.
  event = platform::NamedEvent::Open("Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  event->Set();
  ASSERT_TRUE(SendRequest(socket_, Request("three.example")));
  ASSERT_TRUE(service_.WaitForLine("three.example", kWaitMs));
  service_.Drain(500);
  EXPECT_EQ(service_.CountLines(" TERM"), 2u) << service_.Output();
}

TEST_F(TunneldTest, ServiceOwnsTheEventClearAtEveryStartAndRemovesItAtTheEnd) {
  // Left set under the name by another account before the service starts.
  ASSERT_EQ(qvtest::RunInChild(
                [] {
                  auto e = platform::NamedEvent::Create(kEvent, platform::EventReset::Manual, true);
                  return std::string(e ? "made" : "no");
                },
                true)
                .output,
            "made");
  auto planted = platform::NamedEvent::Open(kEvent);
  ASSERT_NE(planted, nullptr);
  for (int run = 0; run < 2; ++run) {
    StartService();
    auto event = platform::NamedEvent::Open(kEvent);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->Wait(0)) << "run " << run;
    EXPECT_FALSE(planted->IsCurrent());
    struct stat st;
    ASSERT_EQ(stat(EventPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0666u);  // the front end runs as the desktop user
    ASSERT_TRUE(SendRequest(socket_, Request()));
    ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs));
    event = platform::NamedEvent::Open(kEvent);  // the running tunnel's own
    ASSERT_NE(event, nullptr);
    event->Set();
    EXPECT_TRUE(service_.WaitForLine("exited with status 0", kWaitMs)) << service_.Output();
    // Left set by this run: the next one starts clear all the same.
    EXPECT_TRUE(event->Wait(0));
    service_.Stop(SIGTERM, kWaitMs);
    EXPECT_FALSE(event->IsCurrent());
    EXPECT_NE(stat(EventPath().c_str(), &st), 0);
    planted = std::move(event);
  }
}

TEST_F(TunneldTest, StopsOpenVpnAndRemovesSocketOnShutdown) {
  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request()));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs));
  int status = service_.Stop(SIGTERM, kWaitMs);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(service_.Output().find("standin "), std::string::npos);
  EXPECT_NE(service_.Output().find("exited with status 0"), std::string::npos) << service_.Output();
  struct stat st;
  EXPECT_NE(stat(socket_.c_str(), &st), 0);
}

TEST_F(TunneldTest, ReplacesStaleSocketButNotALiveService) {
  StartService();
  RunningProgram second;
  ASSERT_TRUE(
      second.Start({QV_TUNNELD, "--socket", socket_, "--config-dir", config_, "--openvpn", QV_STANDIN_OPENVPN}));
  ASSERT_TRUE(second.WaitExit(kWaitMs));
  EXPECT_NE(second.Output().find("already serving"), std::string::npos) << second.Output();

  service_.Stop(SIGKILL, kWaitMs);  // leaves its socket file behind
  struct stat st;
  ASSERT_EQ(stat(socket_.c_str(), &st), 0);
  StartService();
  ASSERT_TRUE(SendRequest(socket_, Request()));
  EXPECT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();
}

TEST_F(TunneldTest, MissingOpenVpnIsLoggedAndServiceCarriesOn) {
  StartService(dir_ / "no-such-openvpn");
  ASSERT_TRUE(SendRequest(socket_, Request()));
  ASSERT_TRUE(service_.WaitForLine("cannot start", kWaitMs)) << service_.Output();
  EXPECT_NE(service_.Output().find("No such file"), std::string::npos);
  ASSERT_TRUE(Send(socket_, ""));
  EXPECT_TRUE(service_.Running());
}

// --- Requests from strangers ------------------------------------------------

TEST_F(TunneldTest, ForeignEventNamesAndPortsStartNothing) {
  StartService();
  // Four foreign names once filled every watcher; a foreign port hands the
  // management client to whoever listens there.
  for (const char* ev : {"Global\\a", "Global\\b", "Global\\c", "Global\\d", "Global\\Quorvanta_ovpn_exit_2"}) {
    ASSERT_TRUE(SendRequestAs(qvtest::kNobody, socket_, Request("h", "udp", "", ev)));
  }
  for (const char* port : {"1", "63783", "6378", "0063782", "65535"}) {
    ASSERT_TRUE(
        SendRequestAs(qvtest::kNobody, socket_, Request("h", "udp", "", "Global\\Quorvanta_ovpn_exit_1", port)));
  }
  ASSERT_TRUE(SendRequest(socket_, Request("after.example")));
  std::string line;
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs, &line)) << service_.Output();
  EXPECT_NE(line.find("after.example"), std::string::npos);
  EXPECT_EQ(service_.CountLines("started OpenVPN"), 1u) << service_.Output();
  EXPECT_EQ(service_.CountLines("not the service's exit event"), 5u) << service_.Output();
  EXPECT_EQ(service_.CountLines("not the management port"), 5u) << service_.Output();
  EXPECT_EQ(service_.CountLines("refused request from uid 65534"), 10u) << service_.Output();
}

// A stranger who floods the socket with refused requests writes a bounded
// number of lines, then one count; other callers' refusals are still logged.
TEST_F(TunneldTest, RefusalLinesAreBoundedPerCallerWithACountOfTheRest) {
  StartService();
  const std::string socket = socket_;
  auto flood = [&socket] {
    return qvtest::RunInChild([&socket] {
      if (setgroups(0, nullptr) != 0 || setresgid(qvtest::kNobody, qvtest::kNobody, qvtest::kNobody) != 0 ||
          setresuid(qvtest::kNobody, qvtest::kNobody, qvtest::kNobody) != 0) {
        return std::string("no switch");
      }
      int sent = 0;
      for (int i = 0; i < 60; ++i) sent += SendRequest(socket, "openvpn.exe --up /bin/sh");
      return std::to_string(sent);
    });
  };
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(flood().output, "60");
  ASSERT_TRUE(SendRequest(socket_, "mine, refused too"));
  ASSERT_TRUE(service_.WaitForLine("refused request from uid " + std::to_string(getuid()), kWaitMs))
      << service_.Output();
  EXPECT_EQ(service_.CountLines("refused request from uid 65534"), 20u);
  std::this_thread::sleep_until(started + std::chrono::milliseconds(10500));
  ASSERT_EQ(flood().output, "60");
  EXPECT_TRUE(service_.WaitForLine("dropped 40 more refusal lines for uid 65534 within 10000 ms", kWaitMs))
      << service_.Output();
}

// While a user's tunnel runs its exit event is that user's alone: a stranger
// can neither stop it nor hold it, and what he mapped before leads nowhere.
TEST_F(TunneldTest, TheRunningTunnelsEventIsItsUsersAlone) {
  StartService();
  constexpr uid_t kUser = 1000;
  // The stranger maps the open event between tunnels, and keeps it.
  int stranger[2];
  ASSERT_EQ(pipe(stranger), 0);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const std::string path = EventPath();
  HoldManagementPort(kUser);  // before the fork: the stranger must not hold a copy of it
  const pid_t watcher = fork();
  if (watcher == 0) {
    if (!qvtest::DropRoot()) _exit(1);
    auto old = platform::NamedEvent::Open(kEvent);
    char c = old ? 'y' : 'n';
    if (write(stranger[1], &c, 1) != 1) _exit(1);
    if (read(go[0], &c, 1) != 1) _exit(1);
    old->Set();  // the mapping of before the start
    const int fd = open(path.c_str(), O_RDWR);
    c = fd < 0 ? 'd' : 'o';
    if (write(stranger[1], &c, 1) != 1) _exit(1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(stranger[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  ASSERT_TRUE(SendRequestAs(kUser, socket_, Request("mine.example")));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(read(stranger[0], &c, 1), 1);
  EXPECT_EQ(c, 'd') << "the stranger opened the running tunnel's event";
  waitpid(watcher, nullptr, 0);
  service_.Drain(300);
  EXPECT_EQ(service_.CountLines(" TERM"), 0u) << service_.Output();

  // The user's own Set stops it, and the name is every user's again after.
  const bool set = qvtest::RunInChild([&] {
                     if (setresgid(kUser, kUser, kUser) != 0 || setresuid(kUser, kUser, kUser) != 0)
                       return std::string();
                     auto mine = platform::NamedEvent::Open(kEvent);
                     if (!mine) return std::string();
                     mine->Set();
                     return std::string("set");
                   }).output == "set";
  ASSERT_TRUE(set);
  ASSERT_TRUE(service_.WaitForLine("exited with status 0", kWaitMs)) << service_.Output();
  for (int i = 0; i < 50 && stat(path.c_str(), &st) == 0 && st.st_uid != 0; ++i) service_.Drain(20);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  close(stranger[0]);
  close(stranger[1]);
  close(go[0]);
  close(go[1]);
}

// OpenVPN's management is handed to whoever listens on the port: the service
// starts it only when the caller's own front end (or root) is that listener.
TEST_F(TunneldTest, AManagementPortHeldByAnotherUserStartsNothing) {
  StartService();
  HoldManagementPort(qvtest::kNobody);
  ASSERT_TRUE(SendRequest(socket_, Request("one.example")));
  ASSERT_TRUE(service_.WaitForLine("refused request from uid 0: 127.0.0.1:63782 is held by uid 65534", kWaitMs))
      << service_.Output();
  close(port_);
  port_ = -1;
  ASSERT_TRUE(SendRequest(socket_, Request("two.example")));
  ASSERT_TRUE(service_.WaitForLine("nothing listens on 127.0.0.1:63782", kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines("started OpenVPN"), 0u);
  HoldManagementPort(0);
  ASSERT_TRUE(SendRequest(socket_, Request("three.example")));
  EXPECT_TRUE(service_.WaitForLine("three.example", kWaitMs)) << service_.Output();
}

TEST_F(TunneldTest, AnotherUsersRequestLeavesTheRunningTunnelAlone) {
  StartService();
  constexpr uid_t kDesktopUser = 1000;
  HoldManagementPort(kDesktopUser);
  ASSERT_TRUE(SendRequestAs(kDesktopUser, socket_, Request("mine.example")));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();
  EXPECT_NE(service_.LastLineWith("started OpenVPN").find("for uid 1000"), std::string::npos);

  ASSERT_TRUE(SendRequestAs(qvtest::kNobody, socket_, Request("theirs.example")));
  ASSERT_TRUE(service_.WaitForLine("refused request from uid 65534", kWaitMs)) << service_.Output();
  EXPECT_NE(service_.LastLineWith("refused request from uid 65534").find("runs for uid 1000"), std::string::npos);
  service_.Drain(300);
  EXPECT_EQ(service_.CountLines(" TERM"), 0u) << service_.Output();
  EXPECT_EQ(service_.CountLines("started OpenVPN"), 1u);

  // The same user and root may replace it.
  ASSERT_TRUE(SendRequestAs(kDesktopUser, socket_, Request("mine2.example")));
  ASSERT_TRUE(service_.WaitForLine("mine2.example", kWaitMs)) << service_.Output();
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();  // its trap is set
  HoldManagementPort(0);  // root's OpenVPN reports to root's listener
  ASSERT_TRUE(SendRequest(socket_, Request("root.example")));
  ASSERT_TRUE(service_.WaitForLine("root.example", kWaitMs)) << service_.Output();
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines(" TERM"), 2u) << service_.Output();
  // Once nothing runs, any user may start one.
  service_.Stop(SIGTERM, kWaitMs);
  StartService();
  HoldManagementPort(qvtest::kNobody);
  ASSERT_TRUE(SendRequestAs(qvtest::kNobody, socket_, Request("theirs.example")));
  EXPECT_TRUE(service_.WaitForLine("theirs.example", kWaitMs)) << service_.Output();
}

// A session lives with the front end that asked for it, and not long past
// an OpenVPN that ended by itself: nothing stays running (or blocked) for nobody.
TEST_F(TunneldTest, ASessionEndsWithItsFrontEndOrSoonAfterItsOpenVpnEndedByItself) {
  StartService();
  constexpr uid_t kDesktopUser = 1000;
  HoldManagementPort(kDesktopUser);
  ASSERT_TRUE(SendRequestAs(kDesktopUser, socket_, Request("mine.example")));
  ASSERT_TRUE(service_.WaitForLine("argv:", kWaitMs)) << service_.Output();
  EndFrontEnds();
  ASSERT_TRUE(service_.WaitForLine("ended: the front end that asked for it ended", 5000)) << service_.Output();
  EXPECT_EQ(service_.CountLines(" TERM"), 1u) << service_.Output();

  // A request whose sender is already gone starts nothing.
  HoldManagementPort(0);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
  const std::string request = Request("gone.example");
  const pid_t sender = fork();
  if (sender == 0) {
    _exit(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  send(fd, request.c_str(), request.size() + 1, MSG_NOSIGNAL) > 0
              ? 0
              : 1);
  }
  int status = 0;
  waitpid(sender, &status, 0);
  ASSERT_EQ(0, status);
  close(fd);
  ASSERT_TRUE(service_.WaitForLine("its process ended before the request was served", kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.CountLines("started OpenVPN"), 1u) << service_.Output();

  // OpenVPN ends by itself and no request follows.
  std::ofstream(config_ + "/standin.mode") << "exit1";
  ASSERT_TRUE(SendRequest(socket_, Request("short.example")));
  ASSERT_TRUE(service_.WaitForLine("exited with status 1", kWaitMs)) << service_.Output();
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_TRUE(service_.WaitForLine("ended: no request followed the end of its OpenVPN", tunneld::kSessionIdleMs + 5000))
      << service_.Output();
  EXPECT_GE(std::chrono::steady_clock::now() - ended, std::chrono::milliseconds(tunneld::kSessionIdleMs - 1000));
}

TEST_F(TunneldTest, IdleConnectionsDoNotMakeTheFrontEndsRequestFail) {
  StartService();
  // A stranger holds as many silent connections as it is let, and more.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t stranger = fork();
  if (stranger == 0) {
    close(ready[0]);
    close(release[1]);
    if (!qvtest::DropRoot()) _exit(99);
    std::vector<int> held;
    for (int i = 0; i < 40; ++i) {
      int fd = -1;
      // Counted by the connect: a refused connection may be closed before the write.
      Send(socket_, i % 2 ? "openvpn.exe --ser" : "", false, &fd);
      if (fd >= 0) held.push_back(fd);
    }
    qvtest::WriteAll(ready[1], std::to_string(held.size()));
    close(ready[1]);
    char c;
    while (read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  const std::string connected = qvtest::ReadAll(ready[0]);
  close(ready[0]);
  EXPECT_EQ(connected, "40");  // every connect succeeded: the backlog never filled

  // The front end's own request goes through at once, not after the strangers' deadlines.
  setenv("QUORVANTA_PIPE", socket_.c_str(), 1);
  const long start = qvtest::NowMs();
  EXPECT_TRUE(SendServiceRequest(nullptr));
  EXPECT_TRUE(SendServiceRequest(Request("frontend.example").c_str()));
  ASSERT_TRUE(service_.WaitForLine("frontend.example", kWaitMs)) << service_.Output();
  const long served = qvtest::NowMs() - start;
  std::printf("the front end's probe and request were served in %ld ms beside 40 stalled connections\n", served);
  EXPECT_LT(served, 2000);
  unsetenv("QUORVANTA_PIPE");
  // Eight held open, the other 32 closed at once (and logged up to the stranger's bound).
  EXPECT_EQ(service_.CountLines("refused connection from uid 65534: it already holds 8 open connections"),
            static_cast<size_t>(tunneld::kRefusalBurst))
      << service_.Output();

  close(release[1]);
  int status;
  waitpid(stranger, &status, 0);
}

}  // namespace
