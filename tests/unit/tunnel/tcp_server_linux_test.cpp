// Who the management port serves on Linux, by the owner of the peer's
// socket: root, or the owner of the service socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "runtime/ui_messages.h"
#include "support/child_process.h"
#include "tcp_server_fixture.h"

namespace {

using qvtest::TcpClient;

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
          TcpClient client;
          if (!client.Connect(port)) return std::string("no connection");
          client.Write(lines);
          return "got[" + client.Read(4096, 1500) + "]";
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
      EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
      EXPECT_EQ(Next(), msg::WM_TUNNEL_UP);
      EXPECT_EQ(Next(), msg::WM_MGMT_BYTECOUNT);
      EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
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
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  ASSERT_TRUE(client.Write(kHold));
  EXPECT_EQ(client.Read(9, kWaitMs), "state on\n");
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

// A flood of strangers' connections leaves the port usable for the owner.
TEST_F(Server, StrangersFloodingThePortDoNotKeepTheOwnerOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::internal::CaptureStdout();
  qvtest::ChildResult result = qvtest::RunInChild(
      [&] {
        TcpClient clients[40];
        int made = 0;
        for (TcpClient& client : clients) made += client.Connect(port);
        int heard = 0;
        for (TcpClient& client : clients) {
          heard += !client.Read(1, 2000).empty();
          client.Close();
        }
        return std::to_string(made) + " made, " + std::to_string(heard) + " heard";
      },
      /*unprivileged=*/true);
  EXPECT_EQ(result.output, "40 made, 0 heard");
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.Write(kHold));
  EXPECT_EQ(client.Read(9, kWaitMs), "state on\n");
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
  testing::internal::GetCapturedStdout();
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
  TcpClient client;
  ASSERT_TRUE(client.Connect(server.WaitListening(), kSmallBuffer));
  platform::Message m{};
  ASSERT_TRUE(queue.WaitTake(&m, kWaitMs));
  EXPECT_EQ(m.id, msg::WM_MGMT_CONNECTED);
  client.FloodWithoutReading(kHold);  // the server is now inside a send
  server.Stop();
  ASSERT_TRUE(queue.TryTake(&m));
  EXPECT_EQ(m.id, msg::WM_MGMT_DISCONNECTED);
  testing::internal::GetCapturedStdout();
  unsetenv("QUORVANTA_PIPE");
}

}  // namespace
