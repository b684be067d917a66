#include "runtime/ui_messages.h"
#include "tunnel/service_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/shared_state.h"
#include "support/fake_service.h"
#include "platform/local_socket.h"
#include "platform/named_event.h"
#include "runtime/server_list.h"
#include "support/test_env.h"
#include "tunnel/controller_view.h"

namespace {

const std::string kFixed =
    "openvpn.exe --service Global\\Quorvanta_ovpn_exit_1 1 --config config.qvpn --management "
    "127.0.0.1 63782 --management-hold --management-query-passwords --management-client --remote ";

std::string Compose(std::string entry, bool* ok = nullptr) {
  char out[kCommandLineSize];
  std::vector<char> text(entry.begin(), entry.end());
  text.push_back('\0');
  bool result = ComposeTunnelCommand(text.data(), "Global\\Quorvanta_ovpn_exit_1", out, sizeof out);
  if (ok) *ok = result;
  return result ? std::string(out) : std::string("<refused>");
}

TEST(TunnelCommand, UdpGetsTheShortHandWindowAndExitNotify) {
  EXPECT_EQ(Compose("host:1194:udp"), kFixed +
                                          "host 1194 --proto udp --hand-window 5 --resolv-retry 0 --verb 4 "
                                          "--explicit-exit-notify ");
}

TEST(TunnelCommand, UdpIsCaseSensitive) {
  EXPECT_EQ(Compose("host:1194:UDP"), kFixed + "host 1194 --proto UDP --hand-window 10 --resolv-retry 0 --verb 4 ");
}

TEST(TunnelCommand, ScramblingWordAddsTheObfuscateOption) {
  EXPECT_EQ(Compose("host:443:tcp:K"), kFixed +
                                           "host 443 --proto tcp --hand-window 10 --resolv-retry 0 --verb 4 "
                                           "--scramble obfuscate K");
  EXPECT_EQ(Compose("10.0.0.1:1194:udp:word"),
            kFixed +
                "10.0.0.1 1194 --proto udp --hand-window 5 --resolv-retry 0 --verb 4 "
                "--explicit-exit-notify --scramble obfuscate word");
}

TEST(TunnelCommand, FieldsSplitLikeATokenizerThatSkipsEmptyFields) {
  // Leading and doubled colons count once; a fifth field is ignored.
  EXPECT_EQ(Compose(":host::443:::tcp:K:fifth:sixth"),
            kFixed +
                "host 443 --proto tcp --hand-window 10 --resolv-retry 0 --verb 4 "
                "--scramble obfuscate K");
  bool ok = true;
  Compose("host::udp", &ok);  // only host and "udp" as the port
  EXPECT_FALSE(ok);
  Compose("host", &ok);
  EXPECT_FALSE(ok);
  Compose("", &ok);
  EXPECT_FALSE(ok);
  Compose(":::", &ok);
  EXPECT_FALSE(ok);
}

TEST(TunnelCommand, EntriesTooLongForTheBuffersAreRefused) {
  bool ok = true;
  Compose("h:1:udp:" + std::string(600, 'w'), &ok);  // options beyond 499 characters
  EXPECT_FALSE(ok);
  Compose(std::string(900, 'h') + ":1:tcp", &ok);  // command line beyond 1023 characters
  EXPECT_FALSE(ok);
  // The longest line that fits is still sent whole.
  std::string host(1023 - (Compose("h:1:tcp").size() - 1), 'h');
  std::string line = Compose(host + ":1:tcp", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(line.size(), 1023u);
  Compose(host + "h:1:tcp", &ok);
  EXPECT_FALSE(ok);
}

// Each test runs in a process of its own: private event names and lists.
class Tunnel : public ::testing::Test {
 protected:
  void SetUp() override {
    qvtest::SetEnv("QUORVANTA_OBJECT_NAMESPACE", ("qvtest" + qvtest::ProcessTag()).c_str());
    qvtest::SetEnv("QUORVANTA_PIPE", service.path().c_str());
    std::strcpy(ProfilePath, "/config/data.vpn");
    emptied.clear();
    CreateSharedLists();
    signal = std::make_unique<Signal>();
  }
  void TearDown() override {
    signal.reset();
    platform::RemoveNamedEvent(kExitEventName);
    FreeSharedLists();
  }

  void Add(const char* text) { PushBack(Servers, NewServerEntry(text, std::strlen(text))); }

  static void OnEmpty(const char* path) { emptied = path; }
  static inline std::string emptied;

  FakeService service;
  std::unique_ptr<Signal> signal;
};

TEST_F(Tunnel, RequestsTheLastEntryAndWritesTheLineWithItsNul) {
  Add("first:1194:udp");
  Add("second:443:tcp:K");
  ASSERT_TRUE(StartTunnel(*signal, &Tunnel::OnEmpty));
  ASSERT_TRUE(service.WaitConnections(1));
  std::string expected = kFixed +
                         "second 443 --proto tcp --hand-window 10 --resolv-retry 0 --verb 4 "
                         "--scramble obfuscate K";
  expected.push_back('\0');
  EXPECT_EQ(service.Received()[0], expected);

  ASSERT_TRUE(StartTunnel(*signal, &Tunnel::OnEmpty));
  ASSERT_TRUE(service.WaitConnections(2));
  expected = kFixed +
             "first 1194 --proto udp --hand-window 5 --resolv-retry 0 --verb 4 "
             "--explicit-exit-notify ";
  expected.push_back('\0');
  EXPECT_EQ(service.Received()[1], expected);
  EXPECT_TRUE(IsEmpty(Servers));
  EXPECT_TRUE(emptied.empty());

  EXPECT_FALSE(StartTunnel(*signal, &Tunnel::OnEmpty));
  EXPECT_EQ(emptied, "/config/data.vpn");
}

TEST_F(Tunnel, MalformedEntryIsConsumedWithoutARequest) {
  Add("good:1194:udp");
  Add("host::udp");
  EXPECT_FALSE(StartTunnel(*signal, &Tunnel::OnEmpty));
  EXPECT_TRUE(emptied.empty());
  ASSERT_TRUE(StartTunnel(*signal, &Tunnel::OnEmpty));
  ASSERT_TRUE(service.WaitConnections(1));
  EXPECT_EQ(service.Received().size(), 1u);
  EXPECT_NE(service.Received()[0].find("--remote good 1194"), std::string::npos);
}

TEST_F(Tunnel, ExitEventIsResetBeforeTheRequest) {
  auto observer = platform::NamedEvent::Open(kExitEventName);
  ASSERT_TRUE(observer);
  signal->Set();
  ASSERT_TRUE(observer->Wait(0));
  Add("host:1194:udp");
  ASSERT_TRUE(StartTunnel(*signal, &Tunnel::OnEmpty));
  EXPECT_FALSE(observer->Wait(0));
}

TEST_F(Tunnel, AbsentServiceFailsAtOnceAndStillConsumesTheEntry) {
  qvtest::SetEnv("QUORVANTA_PIPE", FakeService::AbsentPath().c_str());
  Add("host:1194:udp");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(StartTunnel(*signal, &Tunnel::OnEmpty));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(IsEmpty(Servers));
}

TEST(ServiceRequest, ProbeWritesNothing) {
  FakeService service;
  qvtest::SetEnv("QUORVANTA_PIPE", service.path().c_str());
  EXPECT_TRUE(SendServiceRequest(nullptr));
  ASSERT_TRUE(service.WaitConnections(1));
  EXPECT_EQ(service.Received()[0], "");
}

TEST(Init, PresentServiceIsReportedAfterOneSilentProbe) {
  FakeService service;
  qvtest::SetEnv("QUORVANTA_PIPE", service.path().c_str());
  platform::MessageQueue queue;
  Init init;
  init.SetNotifyWindow(&queue);
  ASSERT_TRUE(init.Start());
  platform::Message m{};
  ASSERT_TRUE(queue.WaitTake(&m, 5000));
  EXPECT_EQ(m.id, msg::WM_SERVICE_STATUS);
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_EQ(m.lParam, 0);
  ASSERT_TRUE(service.WaitConnections(1));
  EXPECT_EQ(service.Received(), std::vector<std::string>{""});
}

TEST(Init, AbsentServiceIsReportedAfterEveryProbeAndItsWait) {
  qvtest::SetEnv("QUORVANTA_PIPE", FakeService::AbsentPath().c_str());
  platform::MessageQueue queue;
  Init init;
  init.SetNotifyWindow(&queue);
  init.SetProbe(5, 40);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(init.Start());
  platform::Message m{};
  ASSERT_TRUE(queue.WaitTake(&m, 5000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(m.id, msg::WM_SERVICE_STATUS);
  EXPECT_EQ(m.wParam, 0u);
}

}  // namespace

namespace {

TEST(Init, DestroyingItEndsAProbeInProgressWithoutAReport) {
  qvtest::SetEnv("QUORVANTA_PIPE", FakeService::AbsentPath().c_str());
  platform::MessageQueue queue;
  auto start = std::chrono::steady_clock::now();
  {
    Init init;
    init.SetNotifyWindow(&queue);
    ASSERT_TRUE(init.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  platform::Message m{};
  EXPECT_FALSE(queue.TryTake(&m));
}

}  // namespace
