#pragma once
// The management server on a free loopback port, its messages on a queue of
// the test's own, and the service endpoint's stand-in file that Linux trusts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/message_queue.h"
#include "runtime/shared_state.h"
#include "support/recorded_session.h"
#include "support/tcp_client.h"
#include "support/test_env.h"
#include "tunnel/controller_view.h"
#include "tunnel/tcp_server.h"

inline constexpr int kWaitMs = 5000;
inline const std::string kHold = ">HOLD:Waiting for hold release:0\r\n";

// A connection whose receive buffer is small, so that it fills quickly.
inline constexpr int kSmallBuffer = 4096;

// A folder of the test's own for the service endpoint's stand-in file.
inline std::filesystem::path NewFolder() {
  static std::atomic<int> count{0};
  auto path =
      std::filesystem::temp_directory_path() / ("qv-tcp-" + qvtest::ProcessTag() + "-" + std::to_string(++count));
  std::filesystem::create_directories(path);
  return path;
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    // On Linux the service socket's owner is trusted: here the test's own user.
    pipe_ = (dir_ / "QuorvantaPipe").string();
    std::ofstream(pipe_).put('\0');
    qvtest::SetEnv("QUORVANTA_PIPE", pipe_.c_str());
    std::strcpy(MachineId, kRecordedMachineId);
    server.SetPort(0);
    server.SetNotifyWindow(&queue);
    ASSERT_TRUE(server.Start());
    port = server.WaitListening();
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    server.Stop();
    qvtest::SetEnv("QUORVANTA_PIPE", nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  uint32_t Next() {
    platform::Message m{};
    if (!queue.WaitTake(&m, kWaitMs)) return 0;
    return m.id;
  }

  std::filesystem::path dir_ = NewFolder();
  std::string pipe_;
  platform::MessageQueue queue;
  TcpServer server;
  uint16_t port = 0;
};
