// The Winsock listener: Stop wakes a blocked Accept and Receive from another
// thread, and a send to a peer that stopped reading gives up within its bound.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/socket_owner.h"
#include "platform/sockets.h"
#include "platform/tcp_listener.h"

namespace {

class Listener : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::StartSockets());
    int error = 0;
    ASSERT_EQ(listener.Open(0, 4, &error), platform::ListenResult::Ok);
    ASSERT_NE(listener.BoundPort(), 0);
  }
  void TearDown() override {
    if (client != INVALID_SOCKET) closesocket(client);
    platform::StopSockets();
  }
  void Connect(int receiveBuffer = 0) {
    client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(client, INVALID_SOCKET);
    if (receiveBuffer) {
      setsockopt(client, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(listener.BoundPort());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }

  platform::TcpListener listener;
  SOCKET client = INVALID_SOCKET;
};

using Clock = std::chrono::steady_clock;

TEST_F(Listener, StopWakesABlockedAcceptAndReceive) {
  {
    auto start = Clock::now();
    std::thread stopper([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      listener.Stop();
    });
    EXPECT_EQ(listener.Accept(), platform::kInvalidSocket);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(listener.Stopped());
  }
  platform::TcpListener second;
  int error = 0;
  ASSERT_EQ(second.Open(0, 4, &error), platform::ListenResult::Ok);
  client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(second.BoundPort());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  platform::SocketHandle accepted = second.Accept();
  ASSERT_NE(accepted, platform::kInvalidSocket);
  // A line first arrives normally, then Stop ends the next wait.
  ASSERT_EQ(send(client, "hello\n", 6, 0), 6);
  char buffer[64];
  EXPECT_EQ(second.Receive(accepted, buffer, sizeof buffer), 6);
  std::thread stopper([&second] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    second.Stop();
  });
  auto start = Clock::now();
  EXPECT_EQ(second.Receive(accepted, buffer, sizeof buffer), -1);
  stopper.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  second.CloseSocket(accepted);
}

TEST_F(Listener, PeerCloseEndsReceiveWithZero) {
  Connect();
  platform::SocketHandle accepted = listener.Accept();
  ASSERT_NE(accepted, platform::kInvalidSocket);
  shutdown(client, SD_SEND);
  char buffer[16];
  EXPECT_EQ(listener.Receive(accepted, buffer, sizeof buffer), 0);
  listener.CloseSocket(accepted);
}

TEST_F(Listener, SendToAPeerThatDoesNotReadEndsWithinItsBound) {
  Connect(4096);
  platform::SocketHandle accepted = listener.Accept();
  ASSERT_NE(accepted, platform::kInvalidSocket);
  std::string big(8 << 20, 'x');
  auto start = Clock::now();
  long sent = listener.Send(accepted, big.data(), big.size(), 300);
  auto took = Clock::now() - start;
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<long>(big.size()));
  EXPECT_LT(took, std::chrono::seconds(3));
  // Stop ends the wait at once, well inside a long bound.
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    listener.Stop();
  });
  start = Clock::now();
  listener.Send(accepted, big.data(), big.size(), 60000);
  stopper.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  listener.CloseSocket(accepted);
}

// Our own connection is owned by this process and this user, so it is served.
TEST_F(Listener, OwnConnectionIsOursAndTrusted) {
  Connect();
  platform::SocketHandle accepted = listener.Accept();
  ASSERT_NE(accepted, platform::kInvalidSocket);
  char peer[240];
  EXPECT_TRUE(platform::TcpPeerTrusted(accepted, "", peer, sizeof peer));
  // Wine's table names no process: the Unix kernel's names this user.
  const std::string process = "process " + std::to_string(GetCurrentProcessId()) + " of user S-";
  EXPECT_TRUE(std::string(peer).rfind(process, 0) == 0 || std::string(peer).rfind("Unix uid ", 0) == 0) << peer;
  listener.CloseSocket(accepted);
}

}  // namespace
