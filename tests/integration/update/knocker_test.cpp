// The install callback against a loopback server and a real registry file,
// and the first-run page through the opener override.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/shared_state.h"
#include "runtime/signal.h"
#include "callback/knocker.h"
#include "http_test_server.h"
#include "platform/named_event.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "tunnel/connection_controller.h"
#include "support/child_process.h"
#include "update_support.h"

namespace {

using qvtest::HttpTestServer;

constexpr const char* kProduct = "SOFTWARE\\Quorvanta";
constexpr const char* kGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";

std::vector<std::string> g_messages;
void Capture(const char* caption, const char* text, platform::MessageIcon) {
  g_messages.push_back(std::string(caption) + "|" + text);
}

// Bit by bit, independent of the program's table-driven CRC.
uint32_t ReferenceCrc(const std::string& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

class RunnableKnocker : public Knocker {
 public:
  using Knocker::Run;
};

class InstallCallback : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    db_ = dir_ / "registry.db";
    setenv("QUORVANTA_REGISTRY", db_.c_str(), 1);
    setenv("QUORVANTA_SITE", server_.Base().c_str(), 1);
    std::snprintf(MachineId, sizeof MachineId, "%s", kGuid);
    platform::SetMessageBoxHandler(&Capture);
    g_messages.clear();
  }
  void TearDown() override {
    platform::SetMessageBoxHandler(nullptr);
    unsetenv("QUORVANTA_SITE");
  }

  static void SetRef(const std::string& code) {
    platform::RegKey* key = platform::RegCreateKey(kProduct);
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(
        platform::RegSetValue(key, "ref", platform::kRegSz, code.c_str(), static_cast<uint32_t>(code.size() + 1)));
    platform::RegCloseKey(key);
  }
  // The stored "ref", or "<missing>".
  static std::string Ref() {
    platform::RegKey* key = platform::RegOpenKey(kProduct, platform::RegAccess::Read);
    if (!key) return "<no key>";
    char buffer[260];
    uint32_t type = 0, size = sizeof buffer;
    bool ok = platform::RegQueryValue(key, "ref", &type, buffer, &size);
    platform::RegCloseKey(key);
    return ok && type == platform::kRegSz ? std::string(buffer) : "<missing>";
  }
  static std::string Expected(const std::string& a, const std::string& code) {
    return "/clientCallback/?a=" + a + "&b=" + kGuid + "&c=" + std::to_string(ReferenceCrc(code + kGuid + "Tq7#k2Wm5"));
  }
  static void Knock() {
    RunnableKnocker knocker;
    knocker.Run();
  }

  HttpTestServer server_;
  qvtest::TempDir dir_;
  std::string db_;
};

TEST_F(InstallCallback, AStoredCodeIsReportedOnceAndEmptiedWhenAcknowledged) {
  SetRef("Ref-42_x");
  server_.Set("/clientCallback/", HttpTestServer::Page(200, "OK, thank you"));
  Knock();
  ASSERT_EQ(server_.Targets(), std::vector<std::string>{Expected("Ref-42_x", "Ref-42_x")});
  EXPECT_EQ(server_.Heads()[0].find("User-Agent"), std::string::npos);
  EXPECT_EQ(Ref(), "");
  // The next tunnel-up sends nothing.
  Knock();
  EXPECT_EQ(server_.Targets().size(), 1u);
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(InstallCallback, OnlyABodyBeginningWithOKAcknowledges) {
  struct Case {
    int status;
    std::string body;
    bool acknowledged;
  };
  for (const Case& c : std::vector<Case>{{200, "ok", false},
                                         {200, "", false},
                                         {200, "O", false},
                                         {200, "KO", false},
                                         {200, " OK", false},
                                         {404, "OK", true},  // the status is not looked at
                                         {200, "OKAY and more", true}}) {
    SCOPED_TRACE(c.body);
    SetRef("code7");
    server_.Set("/clientCallback/", HttpTestServer::Page(c.status, c.body));
    size_t before = server_.Targets().size();
    Knock();
    EXPECT_EQ(server_.Targets().size(), before + 1);
    EXPECT_EQ(Ref(), c.acknowledged ? "" : "code7");
  }
  // Nothing listening: the code stays for the next tunnel-up.
  SetRef("code7");
  std::string unreachable = HttpTestServer::UnreachableUrl();
  setenv("QUORVANTA_SITE", unreachable.substr(0, unreachable.rfind('/')).c_str(), 1);
  Knock();
  EXPECT_EQ(Ref(), "code7");
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(InstallCallback, AMissingCodeIsCreatedEmptyAndNothingIsSent) {
  platform::RegCloseKey(platform::RegCreateKey(kProduct));
  Knock();
  EXPECT_EQ(Ref(), "");
  Knock();
  EXPECT_TRUE(server_.Targets().empty());
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(InstallCallback, WithoutTheProductKeyNothingHappens) {
  platform::RegCloseKey(platform::RegCreateKey("SOFTWARE\\Other"));
  Knock();
  EXPECT_EQ(Ref(), "<no key>");
  EXPECT_TRUE(server_.Targets().empty());
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(InstallCallback, CodesUnsafeInAnAddressAreEncodedAndSignedAsStored) {
  std::string code = "a b&c=d#e%f+\xc3\xa9";
  SetRef(code);
  server_.Set("/clientCallback/", HttpTestServer::Page(200, "OK"));
  Knock();
  EXPECT_EQ(server_.Targets(), std::vector<std::string>{Expected("a%20b%26c%3Dd%23e%25f%2B%C3%A9", code)});
  EXPECT_EQ(Ref(), "");
}

TEST_F(InstallCallback, AReadOnlyRegistryShowsTheWritingMessageAndKeepsTheCode) {
  SetRef("R1");
  server_.Set("/clientCallback/", HttpTestServer::Page(200, "OK"));
  ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  // As root the permissions would not stop a write: the child runs as nobody.
  auto child = qvtest::RunInChild(
      [] {
        g_messages.clear();
        Knock();
        std::string out;
        for (const auto& m : g_messages) out += m + "\n";
        return out;
      },
      true);
  EXPECT_EQ(child.exitCode, 0);
  EXPECT_EQ(child.output, "Quorvanta|Failed to open the registry for writing.\n");
  EXPECT_EQ(server_.Targets(), std::vector<std::string>{Expected("R1", "R1")});
  EXPECT_EQ(Ref(), "R1");
}

class QuietView : public ControllerView {
 public:
  void CallPageFunction(const char*, const char* const*, int) override {}
  void UpdateTrayIcon(ShownState) override {}
  void Display() override {}
  void Hide() override {}
};

// Through the controller's own start calls: every tunnel sends the callback
// when it comes up; only the first of a "-firstrun" run opens "/installed", 5 s later.
TEST_F(InstallCallback, TunnelUpsKnockEachTimeAndOpenTheInstalledPageOnce) {
  setenv("QUORVANTA_OBJECT_NAMESPACE", ("qvcallback" + std::to_string(getpid())).c_str(), 1);
  SetRef("code9");
  server_.Set("/clientCallback/", HttpTestServer::Page(200, "not yet"));
  std::string fifo = dir_ / "opened";
  std::string opener = dir_ / "opener";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  qvtest::WriteFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + fifo + "'\n");
  ASSERT_EQ(chmod(opener.c_str(), 0755), 0);
  setenv("QUORVANTA_OPENER", opener.c_str(), 1);
  int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(readEnd, 0);
  // Held open so the opener's end does not read as a hang-up.
  int writeEnd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writeEnd, 0);
  CreateSharedLists();

  // The workers are members of the controller: it outlives their threads.
  static Signal* signal = new Signal;
  static QuietView* view = new QuietView;
  static ConnectionController* controller = new ConnectionController(*view, *signal);
  controller->firstRun = true;
  auto start = std::chrono::steady_clock::now();
  controller->OnTunnelUp();
  controller->OnManagementConnected();  // the next tunnel
  controller->OnTunnelUp();
  EXPECT_FALSE(controller->firstRun);

  ASSERT_TRUE(server_.WaitForRequests(2, 10000));
  EXPECT_EQ(server_.Targets(), (std::vector<std::string>(2, Expected("code9", "code9"))));
  pollfd p{readEnd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 15000), 1);
  auto elapsed = std::chrono::steady_clock::now() - start;
  char buffer[256] = {};
  ssize_t n = read(readEnd, buffer, sizeof buffer - 1);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), server_.Url("/installed") + "\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
  // A second opener would have followed within moments.
  EXPECT_EQ(poll(&p, 1, 1000), 0);
  close(writeEnd);
  close(readEnd);
  unsetenv("QUORVANTA_OPENER");
  EXPECT_EQ(Ref(), "code9");
  FreeSharedLists();
  platform::RemoveNamedEvent(kExitEventName);  // the controller's Signal lives on; its name need not
}

// The window that starts the workers may be destroyed while they run.
TEST_F(InstallCallback, RunsOutliveTheObjectsThatStartedThem) {
  SetRef("late7");
  HttpTestServer::Response held = HttpTestServer::Page(200, "OK");
  held.hold = true;
  server_.Set("/clientCallback/", held);
  std::optional<Knocker> knocker(std::in_place);
  ASSERT_TRUE(knocker->Start());
  ASSERT_TRUE(server_.WaitForRequests(1, 10000));
  knocker.reset();  // the run is still waiting for its reply
  server_.Release();
  // The run finishes on its own: the acknowledgement empties "ref".
  for (int i = 0; i < 1000 && Ref() != ""; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Ref(), "");
  EXPECT_TRUE(g_messages.empty());
}

// Shutdown ends the runs within its bound: the first-run page is not opened
// after the program has gone, and a callback that hangs does not hold the
// exit. Shutdown is for good in the process that does it, so this runs in a
// fresh process of its own (below).
TEST_F(InstallCallback, ShutdownEndsTheRunsWithinItsBound) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "TMPDIR"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  auto result = qvtest::RunProgram({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                    "--gtest_filter=InstallCallback.DISABLED_ShutdownInAProcessOfItsOwn"},
                                   env);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

TEST_F(InstallCallback, DISABLED_ShutdownInAProcessOfItsOwn) {
  SetRef("code5");
  HttpTestServer::Response stalled;
  stalled.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n";
  stalled.stall = true;
  server_.Set("/clientCallback/", stalled);
  std::string opened = dir_ / "opened";
  std::string opener = dir_ / "opener";
  qvtest::WriteFile(opener, "#!/bin/sh\ntouch '" + opened + "'\n");
  ASSERT_EQ(chmod(opener.c_str(), 0755), 0);
  setenv("QUORVANTA_OPENER", opener.c_str(), 1);
  SetInstalledDelayMs(1000);
  {
    std::optional<OpenInstalled> page(std::in_place);
    std::optional<Knocker> knocker(std::in_place);
    ASSERT_TRUE(page->Start());
    ASSERT_TRUE(knocker->Start());
  }
  ASSERT_TRUE(server_.WaitForRequests(1, 10000));  // the callback is under way
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(EndCallbackWorkers(300)) << "the hanging callback cannot have ended";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_FALSE(Knocker().Start()) << "a start after shutdown";
  server_.Release();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_NE(access(opened.c_str(), F_OK), 0) << "the first-run page was opened after shutdown";
  EXPECT_EQ(Ref(), "code5");
  unsetenv("QUORVANTA_OPENER");
}

}  // namespace
