// Install and removal: the checks in their order with their texts, the
// per-thread last error, thread handlers, and previous handlers put back.
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <thread>

#include "crash_fixture.h"

namespace {

using crashtest::CrashFixture;
using crashtest::U16;

class CrashInstallTest : public CrashFixture {
 protected:
  // A sender directory with an empty sender file and the given language file text.
  std::u16string FakeSenderDir(const std::string& ini, bool withSender = true) {
    const std::string dir = dir_ / "sender";
    mkdir(dir.c_str(), 0700);
    if (withSender) std::ofstream(dir + "/CrashSender1402") << "";
    std::ofstream(dir + "/crashreport_lang.ini") << ini;
    return U16(dir);
  }
};

TEST_F(CrashInstallTest, TheRecordSizeAndTheSecondInstallAreChecked) {
  info_.cb = 104;
  EXPECT_EQ(Install(), 1);
  EXPECT_EQ(LastError(), "pInfo is NULL or pInfo->cb member is not valid.");
  EXPECT_EQ(InstallCrashHandler(static_cast<const CrashInstallInfo*>(nullptr)), 1);

  CrashInstallInfoA narrow{};
  narrow.cb = 100;
  EXPECT_EQ(InstallCrashHandler(&narrow), 1);
  narrow.cb = 104;
  narrow.appName = "Narrow";
  narrow.appVersion = "2.0";
  const std::string senderDir = QV_BINARY_DIR "/frontend";
  narrow.senderDirectory = senderDir.c_str();
  ASSERT_EQ(InstallCrashHandler(&narrow), 0) << LastError();
  EXPECT_EQ(crash::g_crashHandler.load()->appName, u"Narrow");

  info_.cb = 100;
  EXPECT_EQ(Install(), 2);
  EXPECT_EQ(LastError(), "Can't install crash handler to the same process twice.");
  EXPECT_EQ(AddReportProperty(u"still", u"working"), 0);  // the first handler works on
}

TEST_F(CrashInstallTest, InitialisationStepsFailWithTheirTexts) {
  info_.flags = 0x80000;
  EXPECT_EQ(Install(), 4);
  EXPECT_EQ(LastError(),
            "The flag CRASH_INST_STORE_ZIP_ARCHIVES should be used with CRASH_INST_DONT_SEND_REPORT flag.");
  EXPECT_EQ(crash::g_crashHandler.load(), nullptr);

  info_.flags = 0x88000;
  info_.customSenderIcon = u"icon.png, -1";
  EXPECT_EQ(Install(), 4);
  EXPECT_EQ(LastError(), "Invalid index of custom icon (it should not equal to -1).");

  // A missing sender fails before the language file is read.
  info_.customSenderIcon = u"icon.png, 3";
  const std::u16string noSender = FakeSenderDir("garbage", false);
  info_.senderDirectory = noSender.c_str();
  EXPECT_EQ(Install(), 4);
  EXPECT_EQ(LastError(), "CrashSender.exe is not found in the specified path.");

  const std::u16string oldLanguage = FakeSenderDir("[Settings]\nCrashReportVersion=1401\n");
  info_.senderDirectory = oldLanguage.c_str();
  EXPECT_EQ(Install(), 4);
  EXPECT_EQ(LastError(), "Missing language file or wrong language file version.");

  const std::u16string good = FakeSenderDir("; sender texts\n[Settings]\n CrashReportVersion = 1402\n");
  info_.senderDirectory = good.c_str();
  info_.debugHelpDirectory = u"/nonexistent";  // falls back to the system search
  ASSERT_EQ(Install(), 0) << LastError();
  EXPECT_EQ(crash::g_crashHandler.load()->dbgHelpPath, u"libdw.so.1");
}

TEST_F(CrashInstallTest, SettingsAreResolvedAndTheSaveFolderMade) {
  info_.emailTo = u"reports@example.test";
  info_.smtpServer = u"mail.example.test:587";
  ASSERT_EQ(Install(), 0) << LastError();
  crash::CCrashHandler* h = crash::g_crashHandler.load();
  EXPECT_EQ(h->mailPort, 25);
  EXPECT_EQ(h->smtpHost, u"mail.example.test");
  EXPECT_EQ(h->smtpPort, 587);
  EXPECT_EQ(h->subject, u"App 1.0 Error Report");
  EXPECT_EQ(h->senderPath, crashtest::kSenderDir + u"/CrashSender1402");
  struct stat st;
  const std::string saveDir = dir_ / "data/CrashReport/UnsentCrashReports/App_1.0";
  ASSERT_EQ(stat(saveDir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);  // reports are the user's alone

  // A save folder that cannot be made fails the install.
  UninstallCrashHandler();
  std::ofstream(dir_ / "file") << "";
  const std::u16string blocked = U16(dir_ / "file/reports");
  info_.reportSaveDirectory = blocked.c_str();
  EXPECT_EQ(Install(), 4);
  EXPECT_EQ(LastError(), "Couldn't create crash report directory.");
}

TEST_F(CrashInstallTest, TheLastErrorIsPerThreadAndBounded) {
  std::string fresh;
  std::thread([&] { fresh = LastError(); }).join();
  EXPECT_EQ(fresh, "No error.");

  EXPECT_EQ(SetCrashCallback(static_cast<CrashCallback>(nullptr), nullptr), 1);
  char16_t small[5];
  EXPECT_EQ(GetCrashHandlerErrorMessage(small, 5), 4);
  EXPECT_EQ(std::u16string(small), u"Cras");
  EXPECT_EQ(GetCrashHandlerErrorMessage(static_cast<char16_t*>(nullptr), 5), -1);
  EXPECT_EQ(GetCrashHandlerErrorMessage(small, 0), -1);

  EXPECT_EQ(UninstallCrashHandler(), 1);
  EXPECT_EQ(LastError(), "Crash handler wasn't preiviously installed for this process.");
  CrashExceptionInfo info{};
  EXPECT_EQ(GenerateErrorReport(nullptr), 1);
  EXPECT_EQ(LastError(), "Exception info is NULL or invalid.");
  info.cb = 44;
  EXPECT_EQ(GenerateErrorReport(&info), 2);
  EXPECT_EQ(InstallThreadCrashHandlers(0), 1);
}

TEST_F(CrashInstallTest, EachThreadInstallsOnceAndRemovesOnce) {
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(InstallThreadCrashHandlers(0), 2);  // the installing thread has its handlers
  EXPECT_EQ(LastError(), "Can't install handlers for current thread twice.");
  int results[4] = {-1, -1, -1, -1};
  std::string afterRemoval;
  std::thread([&] {
    results[0] = InstallThreadCrashHandlers(0);
    results[1] = InstallThreadCrashHandlers(0);
    results[2] = UninstallThreadCrashHandlers();
    afterRemoval = LastError();  // the entry went with the handlers
    results[3] = UninstallThreadCrashHandlers();
  }).join();
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 2);
  EXPECT_EQ(results[2], 0);
  EXPECT_EQ(afterRemoval, "No error.");
  EXPECT_EQ(results[3], 2);
}

void Previous(int) {}
void PreviousTerminate() { std::abort(); }

TEST_F(CrashInstallTest, RemovalPutsThePreviousHandlersBack) {
  struct sigaction mine {};
  mine.sa_handler = &Previous;
  struct sigaction saved[3];
  const int signals[3] = {SIGSEGV, SIGTERM, SIGILL};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(sigaction(signals[i], &mine, &saved[i]), 0);
  std::terminate_handler oldTerminate = std::set_terminate(&PreviousTerminate);

  stack_t before{};
  sigaltstack(nullptr, &before);
  ASSERT_EQ(Install(), 0);
  for (int sig : signals) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    EXPECT_NE(now.sa_handler, &Previous) << sig;
    EXPECT_TRUE(now.sa_flags & SA_ONSTACK);
  }
  stack_t alt{};
  sigaltstack(nullptr, &alt);
  EXPECT_FALSE(alt.ss_flags & SS_DISABLE);  // the installing thread has its own signal stack
  EXPECT_NE(alt.ss_sp, before.ss_sp);

  ASSERT_EQ(UninstallCrashHandler(), 0);
  for (int sig : signals) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &Previous) << sig;
  }
  EXPECT_EQ(std::get_terminate(), &PreviousTerminate);
  sigaltstack(nullptr, &alt);
  EXPECT_EQ(alt.ss_sp, before.ss_sp);
  EXPECT_EQ(alt.ss_flags & SS_DISABLE, before.ss_flags & SS_DISABLE);

  for (int i = 0; i < 3; ++i) sigaction(signals[i], &saved[i], nullptr);
  std::set_terminate(oldTerminate);
}

}  // namespace
