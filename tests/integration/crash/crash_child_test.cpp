// Crashes made in real child processes: each kind reaches its handler, a
// sender sees the right type and code in the block, and the process ends
// with 1 unless a callback lets it go on; a sender that never answers does
// not hold the process past the bound.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash_report.h"
#include "platform/environment.h"
#include "support/child_process.h"
#include "support/crash_kinds.h"

namespace {

const std::u16string kSenderDir(QV_TEST_SENDER_DIR, QV_TEST_SENDER_DIR + sizeof QV_TEST_SENDER_DIR - 1);

using Report = std::map<std::string, std::string>;

class CrashChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVANTA_OBJECT_NAMESPACE", ("-crashchild" + std::to_string(getpid())).c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    setenv("QV_TEST_SENDER_LOG", log_.c_str(), 1);
    unsetenv("QV_TEST_SENDER_MODE");
  }
  void TearDown() override {
    unsetenv("QV_TEST_SENDER_MODE");
    // Children that ended inside a chained handler leave their objects behind.
    const std::string prefix = "quorvanta-crashchild" + std::to_string(getpid()) + "-";
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(platform::RuntimeDirectory(), ignored))
      if (e.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(e.path());
  }

  static int Install(uint32_t flags = 0x3FFF) {
    CrashInstallInfo info{};
    info.cb = kCrashInstallInfoSize;
    info.appName = u"CrashTest";
    info.appVersion = u"1.0";
    info.senderDirectory = kSenderDir.c_str();
    info.flags = flags;
    return InstallCrashHandler(&info);
  }

  // Runs body in a child with crash reporting installed.
  static qvtest::ChildResult Crash(const std::function<std::string()>& body) {
    return qvtest::RunInChild([&] {
      if (Install() != 0) return std::string("install failed");
      std::string output = body();
      UninstallCrashHandler();
      return output;
    });
  }

  std::vector<Report> Reports() const {
    std::vector<Report> reports;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      Report r;
      std::istringstream words(line);
      std::string word;
      while (words >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) r[word.substr(0, eq)] = word.substr(eq + 1);
      }
      reports.push_back(r);
    }
    std::remove(log_.c_str());
    return reports;
  }

  qvtest::TempDir dir_;
  std::string log_ = dir_ / "sender.log";
};

int GoOn(CrashCallbackInfo* info) {
  info->continueExecution = 1;
  return CRASH_CALLBACK_GO_ON;
}

TEST_F(CrashChildTest, EveryKindReachesItsHandlerAndEndsTheProcessWithOne) {
  for (const qvtest::CrashKindCase& c : qvtest::kCrashKindCases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind));
    auto result = Crash([&] { return "returned " + std::to_string(EmulateCrash(c.kind)); });
    EXPECT_EQ(result.exitCode, 1) << result.output;
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["type"], std::to_string(c.type));
    EXPECT_EQ(reports[0]["code"], c.code);
    EXPECT_EQ(reports[0]["occurred"], "1");
    EXPECT_EQ(reports[0]["queued"], "0");
    if (c.kind == 8) {
      EXPECT_EQ(reports[0]["fpe"], "83");  // a division by zero
    }
    if (c.kind == 6) {
      EXPECT_EQ(reports[0]["expression"], "format");
    }
    if (c.kind == 11) {
      EXPECT_EQ(reports[0]["signal"], std::to_string(SIGSEGV));
    }
  }
}

TEST_F(CrashChildTest, AnUnknownKindCrashesNothing) {
  auto result = Crash([] {
    int r = EmulateCrash(35);
    char text[64];
    GetCrashHandlerErrorMessage(text, sizeof text);
    return std::to_string(r) + " " + text;
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "1 Unknown exception type specified.");
  EXPECT_TRUE(Reports().empty());
}

TEST_F(CrashChildTest, ACallbackThatGoesOnRenewsTheGenerationWithEveryItem) {
  std::ofstream(dir_ / "notes.txt") << "notes";
  auto result = Crash([&] {
    SetCrashCallback(&GoOn, nullptr);
    AddReportProperty(u"build", u"nightly");
    AddReportFile((dir_ / "notes.txt").c_str(), nullptr, nullptr, 0);
    AddReportScreenshot(0, 50);
    int first = EmulateCrash(CRASH_TYPE_SIGINT);
    char text[64];
    GetCrashHandlerErrorMessage(text, sizeof text);
    int second = EmulateCrash(CRASH_TYPE_SIGINT);
    return std::to_string(first) + " " + text + " " + std::to_string(second);
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "0 Error raising SIGINT. 0");
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0]["block"], reports[1]["block"]);
  EXPECT_EQ(reports[0]["block"], reports[0]["guid"]);
  EXPECT_EQ(reports[1]["block"], reports[1]["guid"]);
  for (auto& r : reports) {
    EXPECT_EQ(r["type"], "10");
    EXPECT_EQ(r["props"], "1");
    EXPECT_EQ(r["files"], "1");
    EXPECT_EQ(r["screenshot"], "1");
    EXPECT_EQ(r["quality"], "50");
  }
}

TEST_F(CrashChildTest, AStackOverflowEndsTheProcessEvenWhenGoingOn) {
  auto result = Crash([] {
    SetCrashCallback(&GoOn, nullptr);
    return "returned " + std::to_string(EmulateCrash(CRASH_EMULATE_STACK_OVERFLOW));
  });
  EXPECT_EQ(result.exitCode, 1);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["code"], "c00000fd");
}

TEST_F(CrashChildTest, ACallbackThatCancelsStartsNoSender) {
  auto result = Crash([] {
    SetCrashCallback(
        +[](CrashCallbackInfo* info) {
          info->continueExecution = 1;
          return CRASH_CALLBACK_CANCEL;
        },
        nullptr);
    return "returned " + std::to_string(EmulateCrash(CRASH_TYPE_SIGTERM));
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "returned 0");
  EXPECT_TRUE(Reports().empty());
}

TEST_F(CrashChildTest, ASenderThatNeverAnswersDoesNotHoldTheProcess) {
  setenv("QV_TEST_SENDER_MODE", "silent", 1);
  const auto start = std::chrono::steady_clock::now();
  auto result = Crash([] { return "returned " + std::to_string(EmulateCrash(CRASH_TYPE_SIGABRT)); });
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_LT(seconds, 20);
  EXPECT_EQ(Reports().size(), 1u);

  setenv("QV_TEST_SENDER_MODE", "die", 1);
  const auto again = std::chrono::steady_clock::now();
  result = Crash([] { return "returned " + std::to_string(EmulateCrash(CRASH_TYPE_SIGABRT)); });
  EXPECT_EQ(result.exitCode, 1);
  // A sender that ended is noticed long before the ceiling.
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(5));
}

TEST_F(CrashChildTest, OnlyThreadsWithHandlersReportTheirSignals) {
  // A thread with handlers reports a raised SIGSEGV as its own type.
  auto result = Crash([] {
    std::thread worker([] {
      InstallThreadCrashHandlers(0);
      EmulateCrash(CRASH_TYPE_SIGSEGV);
    });
    worker.join();
    return std::string("returned");
  });
  EXPECT_EQ(result.exitCode, 1);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["type"], "11");

  // A thread whose handlers were removed chains to the previous SIGILL handler.
  result = qvtest::RunInChild([] {
    signal(
        SIGILL, +[](int) { _exit(42); });
    if (Install() != 0) return std::string("install failed");
    std::thread worker([] {
      InstallThreadCrashHandlers(0);
      UninstallThreadCrashHandlers();
      raise(SIGILL);
    });
    worker.join();
    return std::string("returned");
  });
  EXPECT_EQ(result.exitCode, 42);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(CrashChildTest, AHardwareFaultOnAWorkerIsAnAccessViolation) {
  auto result = Crash([] {
    std::thread worker([] {
      InstallThreadCrashHandlers(0);
      EmulateCrash(CRASH_TYPE_STRUCTURED);
    });
    worker.join();
    return std::string("returned");
  });
  EXPECT_EQ(result.exitCode, 1);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["type"], "0");
  EXPECT_EQ(reports[0]["code"], "c0000005");
}

TEST_F(CrashChildTest, AVideoSenderIsToldOfTheCrashAndAnswers) {
  auto result = Crash([] {
    int first = AddReportVideo(0, 0, 0, nullptr, 0);
    int second = AddReportVideo(0, 0, 0, nullptr, 0);
    if (first != 0 || second != 4) return "video " + std::to_string(first) + " " + std::to_string(second);
    return "returned " + std::to_string(EmulateCrash(CRASH_TYPE_SIGABRT));
  });
  EXPECT_EQ(result.exitCode, 1) << result.output;
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);  // the video sender made the report; no second sender was started
  EXPECT_EQ(reports[0]["type"], "7");
  EXPECT_EQ(reports[0]["occurred"], "1");

  // Uninstalling ends a video sender through the same event.
  result = Crash([] {
    if (AddReportVideo(0, 1000, 100, nullptr, 0) != 0) return std::string("no video");
    return std::string("added");
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "added");
  reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["occurred"], "0");
}

}  // namespace
