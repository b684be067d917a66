#include "tunnel/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/shared_state.h"
#include "support/recorded_session.h"
#include "tunnel/controller_view.h"

namespace {

constexpr int kWaitMs = 5000;

int ConnectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

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

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(MachineId, kRecordedMachineId);
    server.SetPort(0);
    server.SetNotifyWindow(&queue);
    ASSERT_TRUE(server.Start());
    port = server.WaitListening();
    ASSERT_NE(port, 0);
  }
  void TearDown() override { server.Stop(); }

  uint32_t Next() {
    platform::Message m{};
    if (!queue.WaitTake(&m, kWaitMs)) return 0;
    return m.id;
  }

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

}  // namespace
