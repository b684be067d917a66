// The profile update against a real HTTP server on loopback: which pages
// replace data.vpn and the lists, which leave everything as it was, and what
// happens when updates meet each other, a Connect, or shutdown.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "runtime/shared_state.h"
#include "platform/http.h"
#include "http_test_server.h"
#include "profile/profile.h"
#include "profile/profile_update.h"
#include "runtime/server_list.h"
#include "update_support.h"

namespace {

using qvtest::HttpTestServer;

const std::string kOldPlain = "old.example:1194:udp <----> http://old.example/update";
const std::string kNewPlain =
    "new1.example:1194:udp new2.example:443:tcp:mask <----> http://next.example/a http://next.example/b";

class ProfileUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ASSERT_FALSE(temp_.path().empty());
    // Every temporary file of the update goes here, so none may be left over.
    setenv("TMPDIR", temp_.path().c_str(), 1);
    // A proxy in the environment must not be used.
    setenv("http_proxy", "http://127.0.0.1:9/", 1);
    profilePath_ = config_ / "data.vpn";
    oldProfile_ = qvtest::Profile(kOldPlain);
    newProfile_ = qvtest::Profile(kNewPlain);
    qvtest::WriteFile(profilePath_, oldProfile_);
    ResetLists({});
    SetUpdateWorkerDoneHook(&qvtest::WorkerCounter::Hook, &workers_);
  }
  void TearDown() override {
    SetUpdateWorkerDoneHook(nullptr, nullptr);
    unsetenv("http_proxy");
    EXPECT_EQ(temp_.Names(), std::vector<std::string>{}) << "temporary files left behind";
    unsetenv("TMPDIR");
  }

  void ResetLists(const std::vector<std::string>& urls) { qvtest::ResetSharedLists({"old.example:1194:udp"}, urls); }
  std::vector<std::string> Urls(const std::vector<std::string>& paths) {
    std::vector<std::string> urls;
    for (const std::string& p : paths) urls.push_back(p.rfind("http", 0) == 0 ? p : server_.Url(p));
    return urls;
  }
  // Update lists hold their walk order reversed: the last URL is tried first.
  void ExpectUnchanged() {
    EXPECT_EQ(qvtest::ReadFile(profilePath_), oldProfile_);
    EXPECT_EQ(qvtest::SharedServers(), std::vector<std::string>{"old.example:1194:udp"});
  }
  void ExpectNewProfile() {
    EXPECT_EQ(qvtest::SharedServers(),
              (std::vector<std::string>{"new1.example:1194:udp", "new2.example:443:tcp:mask"}));
    EXPECT_EQ(qvtest::SharedUrls(), (std::vector<std::string>{"http://next.example/a", "http://next.example/b"}));
    // data.vpn now holds the verified block and loads by itself.
    EXPECT_EQ(qvtest::ReadFile(profilePath_).rfind(qvtest::ProfileLine(newProfile_) + "\n", 0), 0u);
    ServerList* a = NewServerList();
    ServerList* b = NewServerList();
    EXPECT_EQ(LoadProfile(profilePath_.c_str(), a, b), kProfileOk);
    EXPECT_EQ(qvtest::Entries(a).size(), 2u);
    FreeServerList(a);
    FreeServerList(b);
  }

  HttpTestServer server_;
  qvtest::ScratchDir temp_;
  qvtest::ScratchDir config_;
  std::string profilePath_;
  std::string oldProfile_;
  std::string newProfile_;
  qvtest::WorkerCounter workers_;
};

TEST_F(ProfileUpdate, AValidBlockReplacesTheProfileAndBothLists) {
  server_.Set("/page", HttpTestServer::Page(200, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/page"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();
  ASSERT_EQ(server_.Targets(), std::vector<std::string>{"/page"});
  // Direct, no agent name.
  std::string head = server_.Heads()[0];
  EXPECT_EQ(head.rfind("GET /page HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_EQ(head.find("User-Agent"), std::string::npos) << head;
}

TEST_F(ProfileUpdate, AnErrorStatusWithAValidBlockAndARedirectWorkToo) {
  server_.Set("/error", HttpTestServer::Page(503, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/error"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();

  qvtest::WriteFile(profilePath_, oldProfile_);
  server_.Set("/moved", HttpTestServer::Redirect("/error"));
  ResetLists(Urls({"/moved"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();
}

TEST_F(ProfileUpdate, PagesWithoutAValidProfileChangeNothingAndTheNextUrlIsTried) {
  std::string page = qvtest::Page(newProfile_);
  std::string badCrc = "<html>\n" + qvtest::Block(newProfile_, 64, "12345") + "</html>\n";
  std::string damaged = page;
  damaged[damaged.find("<!--\n") + 10] ^= 1;
  server_.Set("/crc", HttpTestServer::Page(200, badCrc));
  server_.Set("/damaged", HttpTestServer::Page(200, damaged));
  server_.Set("/truncated", HttpTestServer::Truncated(page.substr(0, page.size() / 2), page.size()));
  server_.Set("/empty", HttpTestServer::Page(200, ""));
  server_.Set("/nocomment", HttpTestServer::Page(200, "<html>no profile here</html>\n"));
  // Walked from the back: the unreachable address first, "/missing" (404) last.
  std::vector<std::string> urls =
      Urls({"/missing", "/nocomment", "/empty", "/truncated", "/damaged", "/crc", HttpTestServer::UnreachableUrl()});
  ResetLists(urls);
  UpdateServerLists(profilePath_.c_str());
  ExpectUnchanged();
  std::vector<std::string> sorted = urls;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(qvtest::SharedUrls(), sorted);
  EXPECT_EQ(server_.Targets(),
            (std::vector<std::string>{"/crc", "/damaged", "/truncated", "/empty", "/nocomment", "/missing"}));

  // The same failures ahead of a good page: it is reached and used.
  server_.Set("/good", HttpTestServer::Page(200, page));
  urls.insert(urls.begin(), server_.Url("/good"));
  ResetLists(urls);
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();
  EXPECT_EQ(server_.Targets().back(), "/good");
}

TEST_F(ProfileUpdate, TwoBlocksInOnePageAreJoinedAndTheFirstCounts) {
  std::string other = qvtest::Profile("other.example:1:udp");
  server_.Set("/two", HttpTestServer::Page(200, "<html>\n" + qvtest::Block(newProfile_) + "<p>and</p>\n" +
                                                    qvtest::Block(other) + "</html>\n"));
  ResetLists(Urls({"/two"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();
  EXPECT_EQ(qvtest::ReadFile(profilePath_), qvtest::ProfileLine(newProfile_) + "\n" + qvtest::ProfileCrc(newProfile_) +
                                                "-" + qvtest::ProfileLine(other) + "\n" + qvtest::ProfileCrc(other) +
                                                "-");
}

TEST_F(ProfileUpdate, PagesOverTheSizeBoundAreRefused) {
  // A valid block at the very start, then filler past 4 MiB.
  std::string big = qvtest::Page(newProfile_) + std::string((4u << 20) + 1, ' ');
  server_.Set("/big", HttpTestServer::Page(200, big));
  server_.Set("/endless", HttpTestServer::Endless());
  ResetLists(Urls({"/big", "/endless"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectUnchanged();
  EXPECT_EQ(server_.Targets(), (std::vector<std::string>{"/endless", "/big"}));
}

TEST_F(ProfileUpdate, AnUpdateStartedDuringAnotherEndsAtOnceAndChangesNothing) {
  HttpTestServer::Response slow = HttpTestServer::Page(200, qvtest::Page(newProfile_));
  slow.hold = true;
  server_.Set("/slow", slow);
  ResetLists(Urls({"/slow"}));
  std::thread first([&] { UpdateServerLists(profilePath_.c_str()); });
  ASSERT_TRUE(server_.WaitForRequests(1, 10000));
  // The first worker is inside its download and holds the update lock.
  UpdateServerLists(profilePath_.c_str());
  EXPECT_EQ(server_.Targets().size(), 1u);
  ExpectUnchanged();
  server_.Release();
  first.join();
  ExpectNewProfile();
}

TEST_F(ProfileUpdate, StartersTestTheListWhenCalledAndTheDelayedOneWaits) {
  server_.Set("/page", HttpTestServer::Page(200, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/page"}));
  SetUpdateDelayMs(300);
  auto start = std::chrono::steady_clock::now();
  StartDelayedServerListUpdate(profilePath_.c_str());
  ASSERT_TRUE(workers_.WaitFor(1, 10000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  SetUpdateDelayMs(30000);
  ExpectNewProfile();

  qvtest::WriteFile(profilePath_, oldProfile_);
  ResetLists(Urls({"/page"}));
  StartServerListUpdate(profilePath_.c_str());
  ASSERT_TRUE(workers_.WaitFor(2, 10000));
  ExpectNewProfile();
}

TEST_F(ProfileUpdate, AnUpdateFinishingAfterShutdownDoesNotBringTheListsBack) {
  HttpTestServer::Response slow = HttpTestServer::Page(200, qvtest::Page(newProfile_));
  slow.hold = true;
  server_.Set("/slow", slow);
  ResetLists(Urls({"/slow"}));
  std::thread worker([&] { UpdateServerLists(profilePath_.c_str()); });
  ASSERT_TRUE(server_.WaitForRequests(1, 10000));
  FreeSharedLists();
  server_.Release();
  worker.join();
  std::lock_guard<std::mutex> lock(ListsLock);
  EXPECT_EQ(Servers, nullptr);
  EXPECT_EQ(UpdateUrls, nullptr);
}

TEST_F(ProfileUpdate, AMoveThatFailsKeepsNothingBehind) {
  // The profile's folder is gone: the verified copy cannot be moved in.
  server_.Set("/page", HttpTestServer::Page(200, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/page"}));
  std::string nowhere = config_ / "missing/data.vpn";
  UpdateServerLists(nowhere.c_str());
  EXPECT_EQ(qvtest::SharedServers(), std::vector<std::string>{"old.example:1194:udp"});
  EXPECT_EQ(server_.Targets().size(), 1u);
}

TEST_F(ProfileUpdate, AProcessKilledDuringAnUpdateLeavesTheProfileWhole) {
  HttpTestServer::Response slow = HttpTestServer::Page(200, qvtest::Page(newProfile_));
  slow.hold = true;
  server_.Set("/slow", slow);
  ResetLists(Urls({"/slow"}));
  pid_t child = fork();
  if (child == 0) {
    UpdateServerLists(profilePath_.c_str());
    _exit(0);
  }
  ASSERT_GT(child, 0);
  ASSERT_TRUE(server_.WaitForRequests(1, 10000));
  kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFSIGNALED(status));
  server_.Release();
  ExpectUnchanged();
  // The killed process could not clean up after itself.
  for (const std::string& name : temp_.Names()) std::remove((temp_ / name).c_str());
}

// The temporary folder on another file system: the move is still one rename.
TEST_F(ProfileUpdate, ATemporaryFolderOnAnotherFileSystemWorksToo) {
  struct stat a, b;
  if (stat("/dev/shm", &a) != 0 || stat(config_.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  char pattern[] = "/dev/shm/qvupdate-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  setenv("TMPDIR", pattern, 1);
  chmod(profilePath_.c_str(), 0640);
  server_.Set("/page", HttpTestServer::Page(200, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/page"}));
  UpdateServerLists(profilePath_.c_str());
  ExpectNewProfile();
  struct stat st;
  ASSERT_EQ(stat(profilePath_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // the profile keeps its permissions
  EXPECT_EQ(config_.Names(), std::vector<std::string>{"data.vpn"});
  EXPECT_EQ(rmdir(pattern), 0) << "temporary files left behind";
  setenv("TMPDIR", temp_.path().c_str(), 1);
}

// Connect on the main thread loads data.vpn into the shared lists and takes
// entries while updates replace the file and the lists (run under TSan).
TEST_F(ProfileUpdate, UpdatesRaceWithConnectSafely) {
  server_.Set("/page", HttpTestServer::Page(200, qvtest::Page(newProfile_)));
  ResetLists(Urls({"/page"}));
  std::atomic<bool> done{false};
  std::thread updater([&] {
    for (int i = 0; i < 20; ++i) {
      {
        // Each round starts from a list that points at the page again.
        std::lock_guard<std::mutex> lock(ListsLock);
        if (UpdateUrls) qvtest::FillList(UpdateUrls, {server_.Url("/page")});
      }
      UpdateServerLists(profilePath_.c_str());
    }
    done = true;
  });
  int loads = 0;
  while (!done) {
    EXPECT_EQ(LoadProfileIntoSharedLists(profilePath_.c_str()), kProfileOk);
    ++loads;
    std::lock_guard<std::mutex> lock(ListsLock);
    FreeServerEntry(TakeBack(Servers));
  }
  updater.join();
  EXPECT_GT(loads, 0);
  EXPECT_EQ(LoadProfile(profilePath_.c_str(), nullptr, nullptr), kProfileOk);
  EXPECT_EQ(server_.Targets().size(), 20u);
}

struct Received {
  std::string body;
  size_t pieces = 0;
  size_t largest = 0;
  size_t stopAfter = 0;  // 0: never stop
};

bool Receive(void* context, const char* data, size_t length) {
  auto* r = static_cast<Received*>(context);
  r->body.append(data, length);
  ++r->pieces;
  if (length > r->largest) r->largest = length;
  return r->stopAfter == 0 || r->pieces < r->stopAfter;
}

TEST(HttpGet, BodiesArriveInOrderInPiecesOfAtMost1024Bytes) {
  HttpTestServer server;
  std::string body;
  for (int i = 0; i < 20000; ++i) body += std::to_string(i) + ",";
  server.Set("/body", HttpTestServer::Page(200, body));
  Received r;
  EXPECT_EQ(platform::HttpGet(server.Url("/body").c_str(), &Receive, &r), platform::HttpResult::Ok);
  EXPECT_EQ(r.body, body);
  EXPECT_LE(r.largest, platform::kHttpPieceSize);

  Received first;
  first.stopAfter = 1;
  EXPECT_EQ(platform::HttpGet(server.Url("/body").c_str(), &Receive, &first), platform::HttpResult::Stopped);
  EXPECT_EQ(first.pieces, 1u);

  Received none;
  EXPECT_EQ(platform::HttpGet(HttpTestServer::UnreachableUrl().c_str(), &Receive, &none),
            platform::HttpResult::OpenFailed);
  EXPECT_EQ(platform::HttpGet("not a url", &Receive, &none), platform::HttpResult::OpenFailed);
  // Only web addresses, also behind a redirect.
  EXPECT_EQ(platform::HttpGet("file:///etc/passwd", &Receive, &none), platform::HttpResult::OpenFailed);
  server.Set("/tofile", HttpTestServer::Redirect("file:///etc/passwd"));
  platform::HttpGet(server.Url("/tofile").c_str(), &Receive, &none);
  EXPECT_EQ(none.body, "");
}

TEST(HttpGet, AServerThatStopsSendingIsLeftWhenTheTimeIsUp) {
  HttpTestServer server;
  HttpTestServer::Response stalled = HttpTestServer::Truncated("<!--\nQUJD", 100);
  stalled.stall = true;
  server.Set("/stalled", stalled);
  platform::HttpLimits limits;
  limits.totalMs = 300;
  Received r;
  EXPECT_EQ(platform::HttpGet(server.Url("/stalled").c_str(), &Receive, &r, limits), platform::HttpResult::ReadFailed);
  EXPECT_EQ(r.body, "<!--\nQUJD");
  server.Release();
}

}  // namespace
