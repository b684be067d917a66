// quorvanta.exe's start-up and end on Windows, by its exit codes, its boxes
// (on standard error) and what it leaves in the registry.
#include <gtest/gtest.h>

#include <string>

#include "support/registry_state.h"
#include "windows/support/program.h"

namespace {

using qvtest::DeleteValue;
using qvtest::GetString;
using qvtest::kCryptographyKey;
using qvtest::kProductKey;
using qvtest::Program;
using qvtest::Quoted;
using qvtest::SavedKey;
using qvtest::SetString;
using qvtest::WindowsPath;

// Runs the front end to its end with the given input; its exit code.
long long RunFrontEnd(bool headless, const std::string& input, std::string* output, const std::string& args = "") {
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", headless ? "1" : nullptr);
  Program program;
  if (!program.Start(Quoted(WindowsPath(QV_FRONTEND)) + args)) return -3;
  program.Write(input);
  program.CloseInput();
  const long long code = program.Wait();
  *output = program.Output();
  return code;
}

class FrontEndStartupWin : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA("QUORVANTA_MESSAGES", "stderr");
    // No service answers here: the front end waits for one, which is all these cases need.
    SetEnvironmentVariableA("QUORVANTA_PIPE", "\\\\.\\pipe\\QuorvantaStartupTestNoService");
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    base_ = std::string(temp) + "qv startup " + std::to_string(GetCurrentProcessId());
  }
  std::string base_;
  SavedKey product_{kProductKey, true};
  SavedKey cryptography_{kCryptographyKey, false};
};

TEST_F(FrontEndStartupWin, EndsWithTheCodeAndBoxOfEachFailedStep) {
  std::string out;
  // The GUI program prints its usage to the starter, with this system's settings.
  EXPECT_EQ(RunFrontEnd(false, "", &out, " --help"), 0);
  EXPECT_EQ(out.rfind("usage: quorvanta", 0), 0u) << out;
  EXPECT_NE(out.find("HKLM\\SOFTWARE\\Quorvanta"), std::string::npos) << out;
  EXPECT_EQ(out.find("/var/lib"), std::string::npos) << out;

  // The windowed program goes through the same steps, and its boxes reach the starter too.
  platform::RegDeleteKeyTree(kProductKey);
  EXPECT_EQ(RunFrontEnd(false, "", &out), 1);
  EXPECT_NE(out.find("Quorvanta: Error opening registry for reading."), std::string::npos) << out;
  EXPECT_EQ(RunFrontEnd(true, "quit\n", &out), 1);
  EXPECT_NE(out.find("Quorvanta: Error opening registry for reading."), std::string::npos) << out;

  SetString(kProductKey, nullptr, base_);
  DeleteValue(kCryptographyKey, "MachineGuid");
  EXPECT_EQ(RunFrontEnd(true, "quit\n", &out), 1);
  EXPECT_NE(out.find("Quorvanta: Error reading machine id."), std::string::npos) << out;
  // The missing folder got its default, ending in a backslash before "config".
  EXPECT_EQ(GetString(kProductKey, "config_dir"), base_ + "\\config");
}

TEST_F(FrontEndStartupWin, ASecondInstanceEndsWithMinusOneAndTheFirstQuitsOnRequest) {
  platform::RegDeleteKeyTree(kProductKey);
  SetString(kProductKey, nullptr, base_ + "\\");
  SetString(kCryptographyKey, "MachineGuid", "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914");
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", "1");
  Program first;
  ASSERT_TRUE(first.Start(Quoted(WindowsPath(QV_FRONTEND)) + " -autorun"));
  ASSERT_TRUE(first.WaitFor("Server: Waiting for a client to connect...")) << first.Output();

  std::string out;
  EXPECT_EQ(RunFrontEnd(true, "", &out), -1);
  EXPECT_NE(out.find("Error: Another instance of this application is running"), std::string::npos) << out;
  EXPECT_EQ(GetString(kProductKey, "config_dir"), base_ + "\\config");

  // The first is undisturbed, and still takes its commands.
  EXPECT_EQ(first.Wait(300), -2) << first.Output();
  ASSERT_TRUE(first.Write("quit\n"));
  EXPECT_EQ(first.Wait(), 0) << first.Output();

  // Its mutex went with it.
  EXPECT_EQ(RunFrontEnd(true, "quit\n", &out), 0) << out;
}

// Crash reporting is start-up step 1: a front end without its sender shows
// the text and ends with 1 before anything else runs.
TEST_F(FrontEndStartupWin, AFailedCrashInstallShowsItsTextAndEndsWithOne) {
  const std::string folder = base_ + " alone";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string copy = folder + "\\quorvanta.exe";
  ASSERT_TRUE(CopyFileA(WindowsPath(QV_FRONTEND).c_str(), copy.c_str(), FALSE));
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", "1");
  Program program;
  ASSERT_TRUE(program.Start(Quoted(copy)));
  EXPECT_EQ(program.Wait(), 1) << program.Output();
  // First the text on standard output, then the box (on standard error here).
  EXPECT_EQ(program.Output().rfind("CrashSender.exe is not found in the specified path.", 0), 0u) << program.Output();
  EXPECT_NE(program.Output().find("Error: CrashSender.exe is not found in the specified path."), std::string::npos)
      << program.Output();
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(folder.c_str());
}

// The real front end crashed from outside: a thread another process starts in
// it at address 0 faults at once. The sender beside it writes the report
// folder (report.txt, backtrace.txt, crash.dmp) and the front end ends with 1.
TEST_F(FrontEndStartupWin, ARemoteThreadThatFaultsLeavesAReportAndEndsWithOne) {
  platform::RegDeleteKeyTree(kProductKey);
  SetString(kProductKey, nullptr, base_ + "\\");
  SetString(kCryptographyKey, "MachineGuid", "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914");
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", "1");
  SetEnvironmentVariableA("QUORVANTA_CRASH_SEND", "0");  // the report is kept, and nothing asks
  wchar_t data[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", data, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::string reports =
      qvtest::Utf8(std::wstring(data, n)) + "\\CrashReport\\UnsentCrashReports\\Quorvanta GUI_0.0.8";
  Program program;
  ASSERT_TRUE(program.Start(Quoted(WindowsPath(QV_FRONTEND))));
  ASSERT_TRUE(program.WaitFor("Server: Waiting for a client to connect...")) << program.Output();
  HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                   PROCESS_VM_WRITE | PROCESS_VM_READ | SYNCHRONIZE,
                               FALSE, program.Id());
  ASSERT_NE(process, nullptr);
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  CloseHandle(thread);
  CloseHandle(process);
  EXPECT_EQ(program.Wait(), 1) << program.Output();

  // The newest report folder holds the three files.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((reports + "\\*-*-*-*-*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no report in " << reports;
  std::string newest;
  FILETIME newestTime{};
  do {
    if (CompareFileTime(&found.ftCreationTime, &newestTime) > 0) {
      newestTime = found.ftCreationTime;
      newest = found.cFileName;
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  const std::string folder = reports + "\\" + newest;
  const std::string report = qvtest::ReadFileText(folder + "\\report.txt");
  EXPECT_NE(report.find("Quorvanta GUI"), std::string::npos) << report;
  EXPECT_NE(report.find("0xC0000005 (access violation)"), std::string::npos) << report;
  EXPECT_NE(qvtest::ReadFileText(folder + "\\backtrace.txt").find("(crashed)"), std::string::npos);
  EXPECT_EQ(qvtest::ReadFileText(folder + "\\crash.dmp").substr(0, 4), "MDMP");
  // Kept, it would be offered for sending at every later start.
  for (const char* name : {"report.txt", "backtrace.txt", "crash.dmp"}) DeleteFileA((folder + "\\" + name).c_str());
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
