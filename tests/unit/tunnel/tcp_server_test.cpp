#include "tunnel/tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "runtime/shared_state.h"
#include "support/child_process.h"
#include "support/recorded_session.h"
#include "support/loopback_client.h"
#include "tunnel/controller_view.h"

namespace {

constexpr int kWaitMs = 5000;

int ConnectTo(uint16_t port) { return qvtest::ConnectLoopback(port); }

void Write(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Reads until want bytes arrived, the peer closed, or timeoutMs passed.
std::string Read(int fd, size_t want, int timeoutMs = kWaitMs) {
  std::string got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool PeerClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, kWaitMs) <= 0) return false;
  char c;
  // Unread bytes on the server's side turn its close into a reset.
  return recv(fd, &c, 1, 0) <= 0;
}

// Writes lines that each ask for an answer and never reads one, until the
// server has stopped taking them (our sends have stayed blocked a while).
void FloodWithoutReading(int fd) {
  const std::string line = ">HOLD:Waiting for hold release:0\r\n";
  for (int stalls = 0; stalls < 1;) {
    ssize_t n = send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 300) == 0) ++stalls;
  }
}

// A connection whose receive buffer is small, so that it fills quickly.
int ConnectSmall(uint16_t port) { return qvtest::ConnectLoopback(port, htonl(INADDR_LOOPBACK), 4096); }

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    // The service socket's owner is trusted: here the test's own user.
    pipe_ = dir_ / "QuorvantaPipe";
    int file = open(pipe_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    close(file);
    setenv("QUORVANTA_PIPE", pipe_.c_str(), 1);
    std::strcpy(MachineId, kRecordedMachineId);
    server.SetPort(0);
    server.SetNotifyWindow(&queue);
    ASSERT_TRUE(server.Start());
    port = server.WaitListening();
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    server.Stop();
    unsetenv("QUORVANTA_PIPE");
  }

  uint32_t Next() {
    platform::Message m{};
    if (!queue.WaitTake(&m, kWaitMs)) return 0;
    return m.id;
  }

  qvtest::TempDir dir_;
  std::string pipe_;
  platform::MessageQueue queue;
  TcpServer server;
  uint16_t port = 0;
};

TEST_F(Server, ServesARecordedSessionAndReportsConnectionAndLoss) {
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  // Each command answers one line: feed the session line by line and read
  // the answer of every line that asks for one.
  const std::string session = kRecordedSession;
  const char* const asking[] = {"Waiting for hold release", "real-time state", "bytecount interval",
                                "hold flag set to OFF",     "Need 'Auth'",     "username entered"};
  std::string expected;
  std::string got;
  size_t next = 0;
  for (size_t at = 0; at < session.size();) {
    size_t end = session.find("\r\n", at) + 2;
    const std::string line = session.substr(at, end - at);
    Write(fd, line);
    at = end;
    if (next < 6 && line.find(asking[next]) != std::string::npos) {
      expected += kRecordedCommands[next];
      got += Read(fd, std::strlen(kRecordedCommands[next]));
      ++next;
    }
  }
  EXPECT_EQ(next, 6u);
  EXPECT_EQ(Read(fd, 1, 100), "");
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Next(), WM_TUNNEL_UP);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Next(), WM_MGMT_BYTECOUNT);
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

TEST_F(Server, NewConnectionStartsWithFreshBufferAndPasswordFlag) {
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  Write(fd, "SUCCESS: 'Auth' username entered, but not yet verified\r\nleft over");
  EXPECT_EQ(Read(fd, 55), std::string("password 'Auth' '") + kRecordedMachineId + "'\n");
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);

  fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  // Were "left over" kept, this would not be a reply line at all.
  Write(fd, ">HOLD:Waiting for hold release:0\r\nSUCCESS: 'Auth' username entered\r\n");
  EXPECT_EQ(Read(fd, 9 + 55), std::string("state on\npassword 'Auth' '") + kRecordedMachineId + "'\n");
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

TEST_F(Server, SecondClientWaitsUntilTheFirstIsGone) {
  int first = ConnectTo(port);
  ASSERT_GE(first, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  int second = ConnectTo(port);  // completes in the listen backlog
  ASSERT_GE(second, 0);
  Write(second, ">HOLD:Waiting for hold release:0\r\n");
  EXPECT_EQ(Read(second, 9, 200), "");
  close(first);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  EXPECT_EQ(Read(second, 9), "state on\n");
  close(second);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

TEST_F(Server, PeerSendingAnEndlessLineIsDropped) {
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  Write(fd, std::string(3000, 'x'));
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
  EXPECT_TRUE(PeerClosed(fd));
  close(fd);
  // The listener goes on serving.
  fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

// What a local process gets from the port, by who owns its socket: only root
// and the owner of the service socket are served. The others are closed
// before anything is read or sent, and nothing is reported.
TEST_F(Server, OnlyRootAndTheServiceSocketsOwnerAreServed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // Each case asks for an answer, the identity, or a state change.
  const std::string lines =
      ">HOLD:Waiting for hold release:0\r\n"
      ">PASSWORD:Need 'Auth' username/password\r\n"
      "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
      ">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.6,127.0.0.1,1194,,\r\n"
      ">BYTECOUNT:100,200\r\n";
  auto asStranger = [&] {
    return qvtest::RunInChild(
        [&] {
          int fd = ConnectTo(port);
          if (fd < 0) return std::string("no connection");
          send(fd, lines.data(), lines.size(), MSG_NOSIGNAL);
          std::string got = Read(fd, 4096, 1500);
          close(fd);
          return "got[" + got + "]";
        },
        /*unprivileged=*/true);
  };
  struct Case {
    const char* what;
    bool pipeExists;
    uid_t pipeOwner;
    bool served;
  };
  const Case cases[] = {
      {"service socket owned by root", true, 0, false},
      {"no service socket", false, 0, false},
      {"service socket owned by the stranger", true, qvtest::kNobody, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(pipe_.c_str());
    if (c.pipeExists) {
      int file = open(pipe_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      ASSERT_GE(file, 0);
      close(file);
      ASSERT_EQ(chown(pipe_.c_str(), c.pipeOwner, 0), 0);
    }
    testing::internal::CaptureStdout();
    qvtest::ChildResult result = asStranger();
    if (c.served) {
      EXPECT_NE(result.output.find("state on\nusername 'Auth' '"), std::string::npos) << result.output;
      EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
      EXPECT_EQ(Next(), WM_TUNNEL_UP);
      EXPECT_EQ(Next(), WM_MGMT_BYTECOUNT);
      EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
    } else {
      EXPECT_EQ(result.output, "got[]");
      platform::Message m{};
      EXPECT_FALSE(queue.TryTake(&m)) << "posted " << m.id;
    }
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said.find("refused a connection from uid 65534") != std::string::npos, !c.served) << said;
  }
  // The refused did not hold the slot: root's OpenVPN is served at once.
  unlink(pipe_.c_str());
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  Write(fd, ">HOLD:Waiting for hold release:0\r\n");
  EXPECT_EQ(Read(fd, 9), "state on\n");
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

// A flood of strangers' connections leaves the port usable for the owner.
TEST_F(Server, StrangersFloodingThePortDoNotKeepTheOwnerOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::internal::CaptureStdout();
  qvtest::ChildResult result = qvtest::RunInChild(
      [&] {
        int fds[40];
        int made = 0;
        for (int& fd : fds) {
          fd = ConnectTo(port);
          if (fd >= 0) ++made;
        }
        int heard = 0;
        for (int fd : fds) {
          if (fd < 0) continue;
          heard += !Read(fd, 1, 2000).empty();
          close(fd);
        }
        return std::to_string(made) + " made, " + std::to_string(heard) + " heard";
      },
      /*unprivileged=*/true);
  EXPECT_EQ(result.output, "40 made, 0 heard");
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  Write(fd, ">HOLD:Waiting for hold release:0\r\n");
  EXPECT_EQ(Read(fd, 9), "state on\n");
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
  testing::internal::GetCapturedStdout();
}

// A peer that asks and never reads the answers is dropped once a send has
// waited its bound; the listener serves the next peer.
TEST_F(Server, PeerThatDoesNotReadIsDropped) {
  int fd = ConnectSmall(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  // A slow server (under a sanitizer) may only seem stuck: keep asking.
  uint32_t next = 0;
  for (int round = 0; round < 20 && next == 0; ++round) {
    FloodWithoutReading(fd);
    platform::Message m{};
    if (queue.WaitTake(&m, 1500)) next = m.id;
  }
  EXPECT_EQ(next, WM_MGMT_DISCONNECTED);
  close(fd);
  fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Next(), WM_MGMT_CONNECTED);
  Write(fd, ">HOLD:Waiting for hold release:0\r\n");
  EXPECT_EQ(Read(fd, 9), "state on\n");
  close(fd);
  EXPECT_EQ(Next(), WM_MGMT_DISCONNECTED);
}

TEST(ServerStart, PortInUseEndsTheServerWithItsMessage) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof a;
  getsockname(holder, reinterpret_cast<sockaddr*>(&a), &length);

  testing::internal::CaptureStdout();
  TcpServer server;
  server.SetPort(ntohs(a.sin_port));
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.WaitListening(), 0);
  server.Stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Server: Error binding socket to portn");
  close(holder);
}

TEST(ServerStart, ListeningServerSaysSoOnStandardOutput) {
  testing::internal::CaptureStdout();
  TcpServer server;
  server.SetPort(0);
  ASSERT_TRUE(server.Start());
  EXPECT_NE(server.WaitListening(), 0);
  server.Stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Server: Waiting for connections...nServer: Waiting for a client to connect...n");
}

}  // namespace

namespace {

TEST(ServerLifetime, DestroyingTheServerEndsItsThreadMidConnection) {
  platform::MessageQueue queue;
  int fd = -1;
  {
    testing::internal::CaptureStdout();
    TcpServer server;
    server.SetPort(0);
    server.SetNotifyWindow(&queue);
    ASSERT_TRUE(server.Start());
    uint16_t port = server.WaitListening();
    testing::internal::GetCapturedStdout();
    fd = ConnectTo(port);
    ASSERT_GE(fd, 0);
    platform::Message m{};
    ASSERT_TRUE(queue.WaitTake(&m, kWaitMs));
    EXPECT_EQ(m.id, WM_MGMT_CONNECTED);
  }
  platform::Message m{};
  ASSERT_TRUE(queue.TryTake(&m));
  EXPECT_EQ(m.id, WM_MGMT_DISCONNECTED);
  EXPECT_TRUE(PeerClosed(fd));
  close(fd);
}

// Stop wakes a server that is waiting to send to a peer that does not read.
TEST(ServerLifetime, StopEndsAServerWaitingOnAPeerThatDoesNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "without a service socket only root's peers are served";
  qvtest::TempDir dir;
  setenv("QUORVANTA_PIPE", (dir / "absent").c_str(), 1);
  platform::MessageQueue queue;
  testing::internal::CaptureStdout();
  TcpServer server;
  server.SetPort(0);
  server.SetNotifyWindow(&queue);
  ASSERT_TRUE(server.Start());
  int fd = ConnectSmall(server.WaitListening());
  ASSERT_GE(fd, 0);
  platform::Message m{};
  ASSERT_TRUE(queue.WaitTake(&m, kWaitMs));
  EXPECT_EQ(m.id, WM_MGMT_CONNECTED);
  FloodWithoutReading(fd);  // the server is now inside a send
  server.Stop();
  ASSERT_TRUE(queue.TryTake(&m));
  EXPECT_EQ(m.id, WM_MGMT_DISCONNECTED);
  testing::internal::GetCapturedStdout();
  close(fd);
  unsetenv("QUORVANTA_PIPE");
}

}  // namespace
