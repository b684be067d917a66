// The real front end (headless) on the real management port: what other
// local users' processes get from it, and how long Exit takes when the peer
// has stopped reading.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "support/child_process.h"
#include "support/recorded_session.h"
#include "support/running_program.h"
#include "support/loopback_client.h"

namespace {

using qvtest::NowMs;

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";
constexpr uint16_t kPort = 63782;
constexpr const char* kGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";
const std::string kHold = ">HOLD:Waiting for hold release:0\r\n";
const std::string kConnected = ">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.6,127.0.0.1,1194,,\r\n";

int ConnectFrom(uint32_t from, int receiveBuffer = 0) { return qvtest::ConnectLoopback(kPort, from, receiveBuffer); }

int Connect() { return ConnectFrom(htonl(INADDR_LOOPBACK)); }

// Everything the peer sends until it closes or timeoutMs of silence.
std::string ReadUntilClosed(int fd, int timeoutMs) {
  std::string got;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return got + "<open>";
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return got;
    got.append(buffer, static_cast<size_t>(n));
  }
}

// What the peer sends until it has sent `want`, closes, or timeoutMs of silence.
std::string ReadUntil(int fd, const std::string& want, int timeoutMs) {
  std::string got;
  while (got.find(want) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    char buffer[64];
    ssize_t n = poll(&p, 1, timeoutMs) > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void SendAll(int fd, const std::string& text) {
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
  }
}

class ManagementPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = "-mgmt" + std::to_string(getpid());
    setenv("QUORVANTA_OBJECT_NAMESPACE", ns_.c_str(), 1);
    runtime_ = dir_ / "run";
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    Reg({"set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", dir_.path()});
    Reg({"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ", kGuid});
    // A service socket owned by root, as installed; nobody listens on it.
    pipe_ = dir_ / "QuorvantaPipe";
    int file = open(pipe_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    close(file);
  }
  void TearDown() override {
    if (input_ >= 0) close(input_);
    program_.Stop(SIGKILL, 5000);
    platform::RemoveNamedEvent(kExitEventName);
  }

  std::vector<std::string> Env() const {
    return {"QUORVANTA_HEADLESS=1",
            "QUORVANTA_MESSAGES=stderr",
            "QUORVANTA_REGISTRY=" + (dir_ / "registry.db"),
            "XDG_RUNTIME_DIR=" + runtime_,
            "QUORVANTA_OBJECT_NAMESPACE=" + ns_,
            "QUORVANTA_PIPE=" + pipe_,
            "QUORVANTA_SITE=http://127.0.0.1:9"};
  }
  void Reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kReg};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = qvtest::RunProgram(argv, Env());
    ASSERT_EQ(result.status, 0) << result.err;
  }
  // Starts the front end with a pipe for its command lines, and waits until it listens.
  void StartFrontEnd() {
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    // The program reads its commands from standard input: lend it ours for the start.
    int saved = dup(0);
    dup2(in[0], 0);
    bool started = program_.Start({kProgram}, Env());
    dup2(saved, 0);
    close(saved);
    close(in[0]);
    input_ = in[1];
    ASSERT_TRUE(started);
    ASSERT_TRUE(program_.WaitForLine("Waiting for a client to connect", 10000)) << program_.Output();
  }
  // Sends "quit" and returns how long the program took to end, or -1.
  long QuitAndTime() {
    long start = NowMs();
    qvtest::WriteAll(input_, "quit\n");
    if (!program_.WaitExit(10000)) return -1;
    return NowMs() - start;
  }
  static bool ExitEventSet() {
    auto event = platform::NamedEvent::Open(kExitEventName);
    return event && event->Wait(0);
  }

  qvtest::TempDir dir_;
  std::string ns_, runtime_, pipe_;
  qvtest::RunningProgram program_;
  int input_ = -1;
};

// Every way a stranger (uid 65534) was tried against the port: none hears a
// byte, none moves the state, and our OpenVPN is served afterwards.
TEST_F(ManagementPort, StrangersNeverGetTheIdentityNorMoveTheState) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  StartFrontEnd();
  struct Case {
    const char* what;
    std::function<std::string()> run;
    bool behindOurs = false;  // queued while our OpenVPN is being served
  };
  const std::string identityAsks = ">PASSWORD:Need 'Auth' username/password\r\n";
  const std::string usernameTaken = "SUCCESS: 'Auth' username entered, but not yet verified\r\n";
  auto talk = [](const std::string& lines) {
    return [lines] {
      int fd = Connect();
      if (fd < 0) return std::string("<no connection>");
      SendAll(fd, lines);
      std::string got = ReadUntilClosed(fd, 3000);
      close(fd);
      return got;
    };
  };
  const std::vector<Case> cases = {
      {"waits for a greeting", talk("")},
      {"asks for the identity", talk(kHold + identityAsks)},
      {"claims the user name was taken", talk(usernameTaken)},
      {"claims the tunnel is up", talk(kConnected)},
      {"runs the whole recorded session", talk(kRecordedSession)},
      {"sends a line over the buffer", talk(std::string(5000, 'x') + "\r\n" + kConnected)},
      // Its socket is closed by the time it is taken: the kernel shows such
      // a socket as root's, which must not count.
      {"writes and leaves before it is taken",
       [&] {
         int fd = Connect();
         SendAll(fd, kHold + identityAsks + kConnected);
         close(fd);
         return std::string();
       },
       true},
      {"comes from 127.0.0.2",
       [&] {
         int fd = ConnectFrom(htonl(0x7F000002));
         if (fd < 0) return std::string("<no connection>");
         SendAll(fd, kHold + identityAsks + kConnected);
         std::string got = ReadUntilClosed(fd, 3000);
         close(fd);
         return got;
       }},
      {"holds twenty connections open",
       [&] {
         std::string got;
         int fds[20];
         for (int& fd : fds) {
           fd = Connect();
           SendAll(fd, kHold + identityAsks + kConnected);
         }
         for (int fd : fds) {
           got += ReadUntilClosed(fd, 3000);
           close(fd);
         }
         return got;
       }},
  };
  for (const Case& c : cases) {
    int ours = -1;
    if (c.behindOurs) {
      // Ours must be taken first, or it too is a closed socket by the time it is taken.
      ours = Connect();
      ASSERT_GE(ours, 0);
      SendAll(ours, kHold);
      ASSERT_NE(ReadUntil(ours, "state on\n", 5000).find("state on\n"), std::string::npos) << c.what;
    }
    qvtest::ChildResult result = qvtest::RunInChild(c.run, /*unprivileged=*/true);
    EXPECT_EQ(result.exitCode, 0) << c.what;
    EXPECT_EQ(result.output, "") << c.what;
    if (ours >= 0) close(ours);
  }
  // Our OpenVPN (root's) comes after all of them and is served at once.
  int fd = Connect();
  ASSERT_GE(fd, 0);
  SendAll(fd, kHold);
  char buffer[16] = {};
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(recv(fd, buffer, 9, 0))), "state on\n");
  // Only now does the state move, and only because of our OpenVPN.
  EXPECT_EQ(program_.CountLines("page connected"), 0u) << program_.Output();
  SendAll(fd, kConnected);
  EXPECT_TRUE(program_.WaitForLine("page connected", 5000)) << program_.Output();
  close(fd);
  // 1 + 1 + 1 + 1 + 1 + 1 + 1 + 1 + 20 connections were refused, each with a line.
  EXPECT_EQ(program_.CountLines("Server: refused a connection"), 28u) << program_.Output();
  EXPECT_EQ(program_.CountLines("Server: refused a connection from uid 65534"), 27u);
  EXPECT_EQ(program_.CountLines("unknown owner"), 1u);  // the one that had already left
  EXPECT_EQ(program_.CountLines(kGuid), 0u);
  EXPECT_GE(QuitAndTime(), 0);
}

// Our OpenVPN stops reading while the front end has answers to give: Exit
// still ends the program within 2 s, with the exit event set. The worst
// case found adds a service that keeps its backlog full, so the start-up
// probe is waiting on it at the same moment.
TEST_F(ManagementPort, APeerThatNeverReadsCannotHoldExit) {
  if (geteuid() != 0) GTEST_SKIP() << "without a service socket only root's peers are served";
  struct Case {
    const char* what;
    bool busyService;
  };
  for (const Case& c : {Case{"peer stuck", false}, Case{"peer stuck and service busy", true}}) {
    SCOPED_TRACE(c.what);
    int service = -1;
    std::vector<int> fillers;
    if (c.busyService) {
      unlink(pipe_.c_str());
      service = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::snprintf(a.sun_path, sizeof a.sun_path, "%s", pipe_.c_str());
      ASSERT_EQ(bind(service, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
      ASSERT_EQ(listen(service, 0), 0);
      // Fill the backlog: further connects find it busy.
      for (int i = 0; i < 4; ++i) {
        int f = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
          fillers.push_back(f);
        else
          close(f);
      }
    }
    StartFrontEnd();
    int fd = ConnectFrom(htonl(INADDR_LOOPBACK), 4096);
    ASSERT_GE(fd, 0);
    // Asks again and again without reading, until the front end stops taking lines.
    for (int stalls = 0; stalls < 1;) {
      ssize_t n = send(fd, kHold.data(), kHold.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) continue;
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 300) == 0) ++stalls;
    }
    long ms = QuitAndTime();
    std::printf("[ figure ] %s: Exit took %ld ms\n", c.what, ms);
    EXPECT_GE(ms, 0) << "the program did not end";
    EXPECT_LT(ms, 2000);
    EXPECT_TRUE(WIFEXITED(program_.Status()) && WEXITSTATUS(program_.Status()) == 0) << program_.Status();
    EXPECT_TRUE(ExitEventSet());
    close(fd);
    for (int f : fillers) close(f);
    if (service >= 0) close(service);
    platform::RemoveNamedEvent(kExitEventName);
  }
}

}  // namespace
