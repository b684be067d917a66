// The service pipe's client against a test pipe server: a busy pipe is waited
// for and taken once it frees, stays Busy when it does not, and a missing
// pipe fails at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/local_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pipe with one instance, so one connected client keeps it busy.
class OneInstancePipe {
 public:
  OneInstancePipe() {
    std::snprintf(name_, sizeof name_, "\\\\.\\pipe\\QvNetTest%lu", GetCurrentProcessId());
    pipe_ = CreateNamedPipeA(name_, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                             4096, 0, nullptr);
  }
  ~OneInstancePipe() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  }
  bool ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
  const char* name() const { return name_; }
  // Takes the next client.
  bool Accept() { return ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }
  // Reads one message.
  std::string Read() {
    char buffer[256];
    DWORD n = 0;
    if (!ReadFile(pipe_, buffer, sizeof buffer, &n, nullptr)) return {};
    return std::string(buffer, n);
  }
  void Release() { DisconnectNamedPipe(pipe_); }

 private:
  char name_[64];
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

TEST(ServicePipe, MissingPipeFailsAtOnce) {
  platform::LocalSocket socket;
  auto start = Clock::now();
  EXPECT_EQ(socket.Connect("\\\\.\\pipe\\QvNetTestNobodyHere", 1000), platform::LocalConnectResult::Absent);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(socket.Write("x", 1));
}

TEST(ServicePipe, BusyPipeIsWaitedForAndTakenWhenItFrees) {
  OneInstancePipe server;
  ASSERT_TRUE(server.ok());
  std::thread serving([&server] { server.Accept(); });
  platform::LocalSocket first;
  ASSERT_EQ(first.Connect(server.name(), 1000), platform::LocalConnectResult::Connected);
  serving.join();

  // Held the whole wait: Busy after about the wait.
  {
    platform::LocalSocket second;
    auto start = Clock::now();
    EXPECT_EQ(second.Connect(server.name(), 300), platform::LocalConnectResult::Busy);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  }

  // The first client writes its message and leaves; the server frees the
  // instance within the wait and the waiting client gets it.
  ASSERT_TRUE(first.Write("one", 4));
  std::thread freeing([&server] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.Read(), std::string("one", 4));
    server.Release();
    server.Accept();
    EXPECT_EQ(server.Read(), std::string("two", 4));
  });
  first.Close();
  platform::LocalSocket third;
  EXPECT_EQ(third.Connect(server.name(), 10000), platform::LocalConnectResult::Connected);
  EXPECT_TRUE(third.Write("two", 4));
  freeing.join();
}

}  // namespace
