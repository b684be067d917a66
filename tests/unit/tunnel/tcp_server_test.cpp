#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/tcp_listener.h"
#include "runtime/ui_messages.h"
#include "support/recorded_session.h"
#include "tcp_server_fixture.h"

namespace {

using qvtest::TcpClient;

TEST_F(Server, ServesARecordedSessionAndReportsConnectionAndLoss) {
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
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
    ASSERT_TRUE(client.Write(line));
    at = end;
    if (next < 6 && line.find(asking[next]) != std::string::npos) {
      expected += kRecordedCommands[next];
      got += client.Read(std::strlen(kRecordedCommands[next]), kWaitMs);
      ++next;
    }
  }
  EXPECT_EQ(next, 6u);
  EXPECT_EQ(client.Read(1, 100), "");
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Next(), msg::WM_TUNNEL_UP);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Next(), msg::WM_MGMT_BYTECOUNT);
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

TEST_F(Server, NewConnectionStartsWithFreshBufferAndPasswordFlag) {
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  ASSERT_TRUE(client.Write("SUCCESS: 'Auth' username entered, but not yet verified\r\nleft over"));
  EXPECT_EQ(client.Read(55, kWaitMs), std::string("password 'Auth' '") + kRecordedMachineId + "'\n");
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);

  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  // Were "left over" kept, this would not be a reply line at all.
  ASSERT_TRUE(client.Write(kHold + "SUCCESS: 'Auth' username entered\r\n"));
  EXPECT_EQ(client.Read(9 + 55, kWaitMs), std::string("state on\npassword 'Auth' '") + kRecordedMachineId + "'\n");
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

// The one command we send of our own accord: a restart of the tunnel when
// the network under it moved. Asked with no OpenVPN on the line, it is dropped.
TEST_F(Server, ARequestedRestartGoesToTheConnectedOpenVpnOnly) {
  server.RequestRestart();  // nobody connected: forgotten
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  EXPECT_EQ(client.Read(1, 200), "");
  server.RequestRestart();
  EXPECT_EQ(client.Read(15, kWaitMs), "signal SIGUSR1\n");
  // The connection goes on as before.
  ASSERT_TRUE(client.Write(kHold));
  EXPECT_EQ(client.Read(9, kWaitMs), "state on\n");
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

TEST_F(Server, SecondClientWaitsUntilTheFirstIsGone) {
  TcpClient first;
  ASSERT_TRUE(first.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  TcpClient second;
  ASSERT_TRUE(second.Connect(port));  // completes in the listen backlog
  ASSERT_TRUE(second.Write(kHold));
  EXPECT_EQ(second.Read(9, 200), "");
  first.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  EXPECT_EQ(second.Read(9, kWaitMs), "state on\n");
  second.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

TEST_F(Server, PeerSendingAnEndlessLineIsDropped) {
  TcpClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  ASSERT_TRUE(client.Write(std::string(3000, 'x')));
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
  EXPECT_TRUE(client.PeerClosed(kWaitMs));
  client.Close();
  // The listener goes on serving.
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

// A peer that asks and never reads the answers is dropped once a send has
// waited its bound; the listener serves the next peer.
TEST_F(Server, PeerThatDoesNotReadIsDropped) {
  TcpClient client;
  // The peer's receive buffer keeps its usual size: a tiny one overflows on the
  // kernel's per-packet overhead long before its window closes, the answers and
  // the acknowledgements they carry are dropped, and both ends back off for
  // longer than the wait below before the server's send ever blocks.
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  // The peer keeps asking until it is dropped: how soon the server's buffers
  // fill depends on the kernel and the load, so only the outcome is bounded.
  std::atomic<bool> dropped{false};
  std::thread flooder([&] {
    while (!dropped.load()) client.FloodWithoutReading(kHold);
  });
  platform::Message m{};
  const bool told = queue.WaitTake(&m, 60000);
  dropped = true;
  flooder.join();
  ASSERT_TRUE(told) << client.KernelState();
  EXPECT_EQ(m.id, msg::WM_MGMT_DISCONNECTED);
  client.Close();
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Next(), msg::WM_MGMT_CONNECTED);
  ASSERT_TRUE(client.Write(kHold));
  EXPECT_EQ(client.Read(9, kWaitMs), "state on\n");
  client.Close();
  EXPECT_EQ(Next(), msg::WM_MGMT_DISCONNECTED);
}

TEST(ServerStart, PortInUseEndsTheServerWithItsMessage) {
  platform::TcpListener holder;
  int error = 0;
  ASSERT_EQ(holder.Open(0, 1, &error), platform::ListenResult::Ok);

  testing::internal::CaptureStdout();
  TcpServer server;
  server.SetPort(holder.BoundPort());
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.WaitListening(), 0);
  server.Stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Server: Error binding socket to portn");
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

TEST(ServerLifetime, DestroyingTheServerEndsItsThreadMidConnection) {
  platform::MessageQueue queue;
  TcpClient client;
  {
    testing::internal::CaptureStdout();
    TcpServer server;
    server.SetPort(0);
    server.SetNotifyWindow(&queue);
    ASSERT_TRUE(server.Start());
    uint16_t port = server.WaitListening();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(client.Connect(port));
    platform::Message m{};
    ASSERT_TRUE(queue.WaitTake(&m, kWaitMs));
    EXPECT_EQ(m.id, msg::WM_MGMT_CONNECTED);
  }
  platform::Message m{};
  ASSERT_TRUE(queue.TryTake(&m));
  EXPECT_EQ(m.id, msg::WM_MGMT_DISCONNECTED);
  EXPECT_TRUE(client.PeerClosed(kWaitMs));
}

}  // namespace
