// Desktop notices through a stand-in notification service (python3-dbusmock's
// notification_daemon) on the test's own session bus; without one, a notice
// is lost and nothing else.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "ui/tray/desktop_session.h"

extern char** environ;

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new SessionEnvironment(false));

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DesktopNotice, ReachesTheNotificationServiceAndIsLostQuietlyWithoutOne) {
  qvtest::TempDir dir;
  const std::string log = dir / "calls.log";
  const char* argv[] = {"/usr/bin/python3",    "-m", "dbusmock",  "--template",
                        "notification_daemon", "-l", log.c_str(), nullptr};
  pid_t service = -1;
  ASSERT_EQ(posix_spawn(&service, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
  ASSERT_TRUE(SpinUntil(
      [] {
        return RunProgram({"gdbus", "call", "--session", "-d", "org.freedesktop.Notifications", "-o",
                           "/org/freedesktop/Notifications", "-m",
                           "org.freedesktop.Notifications.GetServerInformation"}) == 0;
      },
      15000))
      << "the stand-in service did not start";

  RecordingHost host;
  Tray tray(host);
  tray.Add(ShownState::Connected);
  EXPECT_TRUE(tray.Notify(NoticeTitle(Notice::ConnectionLost), NoticeText(Notice::ConnectionLost)));
  ASSERT_TRUE(SpinUntil([&] { return Read(log).find("Notify") != std::string::npos; }));
  const std::string calls = Read(log);
  EXPECT_NE(calls.find("Quorvanta"), std::string::npos) << calls;  // the application's name
  EXPECT_NE(calls.find("Connection lost"), std::string::npos) << calls;
  EXPECT_NE(calls.find("Reconnecting..."), std::string::npos) << calls;

  kill(service, SIGTERM);
  int status;
  waitpid(service, &status, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(tray.Notify(NoticeTitle(Notice::GaveUp), NoticeText(Notice::GaveUp)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The tray goes on as before.
  tray.Update(ShownState::Reconnecting);
  EXPECT_STREQ(tray.Tooltip(), "Reconnecting");
  tray.Remove();
}

TEST(DesktopNotice, TextsAreShortAndOursForEveryNotice) {
  for (Notice notice : {Notice::ConnectionLost, Notice::ConnectionBack, Notice::NextServer, Notice::GaveUp}) {
    EXPECT_FALSE(std::string(NoticeTitle(notice)).empty());
    EXPECT_LT(std::string(NoticeTitle(notice)).size(), 24u) << NoticeTitle(notice);
    EXPECT_LT(std::string(NoticeText(notice)).size(), 64u) << NoticeText(notice);
  }
}

}  // namespace
