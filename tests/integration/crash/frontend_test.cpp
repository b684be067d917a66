// The real front end with crash reporting: SIGTERM and SIGINT from another
// process end it like Exit (code 0, no report, exit event set), and a failed
// install shows its text and ends it with 1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "runtime/signal.h"
#include "platform/named_event.h"
#include "support/child_process.h"
#include "support/running_program.h"

namespace {

const std::string kProgram = QV_BINARY_DIR "/frontend/quorvanta";
const std::string kReg = QV_BINARY_DIR "/tools/reg/quorvanta-reg";

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CrashFrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVANTA_OBJECT_NAMESPACE", Namespace().c_str(), 1);
    ASSERT_EQ(mkdir((dir_ / "run").c_str(), 0700), 0);
    Reg({"set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", dir_.path()});
    Reg({"set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ",
         "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"});
  }
  void TearDown() override { platform::RemoveNamedEvent(kExitEventName); }

  static std::string Namespace() { return "-crashfront" + std::to_string(getpid()); }
  std::vector<std::string> Env() const {
    return {"QUORVANTA_MESSAGES=stderr",
            "QUORVANTA_HEADLESS=1",
            "QUORVANTA_REGISTRY=" + (dir_ / "registry.db"),
            "XDG_RUNTIME_DIR=" + (dir_ / "run"),
            "XDG_DATA_HOME=" + (dir_ / "data"),
            "QUORVANTA_OBJECT_NAMESPACE=" + Namespace(),
            "PATH=/usr/bin:/bin",
            "HOME=" + dir_.path()};
  }
  void Reg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kReg};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = qvtest::RunProgram(argv, Env());
    ASSERT_EQ(result.status, 0) << result.err;
  }
  // Files and folders under the report folder of the program.
  size_t ReportEntries() const {
    const std::string reports = dir_ / "data/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8";
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(reports, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      ++n;
    return n;
  }

  qvtest::TempDir dir_;
};

TEST_F(CrashFrontEndTest, TermAndIntFromOutsideQuitWithoutAReport) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    qvtest::RunningProgram program;
    ASSERT_TRUE(program.Start({kProgram}, Env()));
    ASSERT_TRUE(program.WaitForLine("Waiting for connections", 10000)) << program.Output();
    auto exitEvent = platform::NamedEvent::Open(kExitEventName);
    ASSERT_NE(exitEvent, nullptr);
    exitEvent->Reset();
    int status = program.Stop(sig, 10000);
    ASSERT_TRUE(WIFEXITED(status)) << program.Output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(exitEvent->Wait(0));  // a running OpenVPN would end
    EXPECT_EQ(ReportEntries(), 0u);
    // Nothing of the crash generation stays behind: no block, no event.
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "run"))
      EXPECT_EQ(e.path().filename().string().find("quorvanta" + Namespace() + "-"), std::string::npos) << e.path();
  }
}

TEST_F(CrashFrontEndTest, SegvAndAbrtFromOutsideLeaveAReportWithTheProgramsBacktraceAndEndWithOne) {
  for (auto [sig, type] : {std::pair{SIGSEGV, "11 (SIGSEGV)"}, std::pair{SIGABRT, "7 (SIGABRT)"}}) {
    SCOPED_TRACE(sig);
    qvtest::RunningProgram program;
    ASSERT_TRUE(program.Start({kProgram}, Env()));
    ASSERT_TRUE(program.WaitForLine("Waiting for connections", 10000)) << program.Output();
    int status = program.Stop(sig, 20000);
    ASSERT_TRUE(WIFEXITED(status)) << program.Output();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // The newest report folder: its backtrace names the program's own functions.
    std::string backtrace, report;
    const std::string reports = dir_ / "data/CrashReport/UnsentCrashReports";
    for (const auto& e : std::filesystem::recursive_directory_iterator(reports)) {
      if (e.path().filename() != "backtrace.txt") continue;
      std::string text = ReadText(e.path().string());
      std::string description = ReadText((e.path().parent_path() / "report.txt").string());
      if (description.find(type) != std::string::npos) {
        backtrace = text;
        report = description;
      }
    }
    ASSERT_FALSE(report.empty()) << "no report of crash type " << type;
    EXPECT_NE(report.find("Quorvanta GUI"), std::string::npos) << report;
    EXPECT_NE(backtrace.find("HeadlessWindow::RunWindow"), std::string::npos) << backtrace;
    EXPECT_NE(backtrace.find(" main "), std::string::npos) << backtrace;
  }
}

TEST_F(CrashFrontEndTest, AFailedInstallShowsItsTextAndEndsWithOne) {
  // A copy of the program without the sender beside it.
  const std::string copy = dir_ / "quorvanta";
  std::filesystem::copy_file(kProgram, copy);
  auto result = qvtest::RunProgram({copy}, Env());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "CrashSender.exe is not found in the specified path.\n");
  EXPECT_NE(result.err.find("Error: CrashSender.exe is not found in the specified path."), std::string::npos)
      << result.err;
}

}  // namespace
