// Crashes made in real child processes on Windows: each kind that Wine can
// deliver reaches its handler, the stand-in sender sees the right type and
// code in the block, and the process ends with 1; the queued-reports block is
// answered at install, and a sender that never answers does not hold the
// process past the bound.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <winsock2.h>

#include <thread>

#include "crash/crash_report.h"
#include "support/crash_kinds.h"
#include "windows/support/program.h"

namespace {

using Report = std::map<std::string, std::string>;

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

const std::string kSenderDir = qvtest::WindowsPath(QV_TEST_SENDER_DIR);

// Installs as the front end does, with the stand-in sender (or the real one
// when QV_TEST_REAL_SENDER is set) and a save folder of the test's.
int Install(uint32_t flags) {
  static const std::u16string sender =
      Utf16(std::getenv("QV_TEST_REAL_SENDER") ? qvtest::WindowsPath(QV_REAL_SENDER_DIR) : kSenderDir);
  static const std::u16string reports = Utf16(std::string(std::getenv("QV_TEST_REPORTS")));
  static const std::u16string upload = Utf16(std::getenv("QV_TEST_UPLOAD") ? std::getenv("QV_TEST_UPLOAD") : "");
  CrashInstallInfo info{};
  info.uploadUrl = upload.c_str();
  info.cb = kCrashInstallInfoSize;
  info.appName = u"CrashTest";
  info.appVersion = u"1.0";
  info.senderDirectory = sender.c_str();
  info.reportSaveDirectory = reports.c_str();
  info.flags = flags;
  return InstallCrashHandler(&info);
}

class CrashWin : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dir_ = std::string(temp) + "qv crash " + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    log_ = dir_ + "\\sender.log";
    DeleteFileA(log_.c_str());  // Wine reuses process ids, and with them a folder of an earlier run
    SetEnvironmentVariableA("QV_TEST_SENDER_LOG", log_.c_str());
    SetEnvironmentVariableA("QV_TEST_REPORTS", (dir_ + "\\reports").c_str());
    SetEnvironmentVariableA("QV_TEST_SENDER_MODE", nullptr);
  }

  // Runs this program again as "child FLAGS KIND"; its exit code and output.
  std::pair<long long, std::string> Child(uint32_t flags, int kind) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    qvtest::Program child;
    if (!child.Start(qvtest::Quoted(self) + " child " + std::to_string(flags) + " " + std::to_string(kind)))
      return {-3, "not started"};
    const long long code = child.Wait(60000);
    return {code, child.Output()};
  }

  std::vector<Report> Reports() {
    std::vector<Report> reports;
    std::istringstream lines(qvtest::ReadFileText(log_));
    std::string line;
    while (std::getline(lines, line)) {
      Report r;
      std::istringstream words(line);
      std::string word;
      while (words >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) r[word.substr(0, eq)] = word.substr(eq + 1);
      }
      reports.push_back(r);
    }
    DeleteFileA(log_.c_str());
    return reports;
  }

  std::string dir_, log_;
};

TEST_F(CrashWin, EveryKindReachesItsHandlerAndEndsTheProcessWithOne) {
  for (const qvtest::CrashKindCase& c : qvtest::kCrashKindCases) {
    // A stack overflow is left out: Wine cannot deliver one here.
    if (c.kind == qvtest::kStackOverflowKind) continue;
    SCOPED_TRACE("kind " + std::to_string(c.kind));
    const auto [code, output] = Child(CRASH_INST_HANDLER_MASK, c.kind);
    EXPECT_EQ(code, 1) << output;
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u) << output;
    Report r = reports[0];
    EXPECT_EQ(r["type"], std::to_string(c.type));
    EXPECT_EQ(r["code"], c.code);
    EXPECT_EQ(r["occurred"], "1");
    EXPECT_EQ(r["queued"], "0");
    if (c.kind == 8) {
      EXPECT_EQ(r["fpe"], "83");  // a division by zero
    }
    if (c.kind == 6) {
      EXPECT_EQ(r["expression"], "format");
    }
  }
}

// The hardware fault reaches the filter although the C run-time would turn it
// into SIGSEGV for a thread with that hook; without the filter, the hook has it.
TEST_F(CrashWin, AFaultIsTheFiltersAndOnlyWithoutItTheThreadsSignal) {
  auto [code, output] = Child(CRASH_INST_SIGSEGV_HANDLER, 0);
  EXPECT_EQ(code, 1) << output;
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u) << output;
  EXPECT_EQ(reports[0]["type"], "11");
}

TEST_F(CrashWin, QueuedReportsAreOfferedAtInstallAndASilentSenderDoesNotHoldTheProcess) {
  auto [code, output] = Child(CRASH_INST_HANDLER_MASK | CRASH_INST_SEND_QUEUED_REPORTS, -1);
  EXPECT_EQ(code, 0) << output;
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u) << output;
  EXPECT_EQ(reports[0]["queued"], "1");
  EXPECT_NE(reports[0]["block"].find("-tmp"), std::string::npos);

  // The wait ends at its ceiling (30 s here), not when the sender does.
  SetEnvironmentVariableA("QV_TEST_SENDER_MODE", "silent");
  SetEnvironmentVariableA("QV_TEST_SENDER_SILENT_MS", "60000");
  const auto start = std::chrono::steady_clock::now();
  std::tie(code, output) = Child(CRASH_INST_HANDLER_MASK, 7);
  EXPECT_EQ(code, 1) << output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
  SetEnvironmentVariableA("QV_TEST_SENDER_SILENT_MS", nullptr);
}

// The real sender, without asking (QUORVANTA_CRASH_SEND=0 keeps the report):
// the folder holds report.txt, backtrace.txt with every thread, and for a
// structured exception crash.dmp, a minidump.
TEST_F(CrashWin, TheRealSenderWritesTheReportFolderWhileTheProcessWaits) {
  SetEnvironmentVariableA("QV_TEST_REAL_SENDER", "1");
  SetEnvironmentVariableA("QUORVANTA_CRASH_SEND", "0");
  for (int kind : {0, 7}) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    const std::string reports = dir_ + "\\reports-" + std::to_string(kind);
    SetEnvironmentVariableA("QV_TEST_REPORTS", reports.c_str());
    const auto [code, output] = Child(CRASH_INST_HANDLER_MASK, kind);
    EXPECT_EQ(code, 1) << output;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((reports + "\\*-*-*-*-*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no report folder in " << reports;
    FindClose(search);
    const std::string folder = reports + "\\" + found.cFileName;
    const std::string report = qvtest::ReadFileText(folder + "\\report.txt");
    EXPECT_NE(report.find("CrashTest"), std::string::npos) << report;
    const std::string backtrace = qvtest::ReadFileText(folder + "\\backtrace.txt");
    EXPECT_NE(backtrace.find("(crashed)"), std::string::npos) << backtrace;
    EXPECT_NE(backtrace.find("crash_win_test+0x"), std::string::npos) << backtrace;
    const std::string dump = qvtest::ReadFileText(folder + "\\crash.dmp");
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
  }
  SetEnvironmentVariableA("QV_TEST_REAL_SENDER", nullptr);
  SetEnvironmentVariableA("QUORVANTA_CRASH_SEND", nullptr);
}

// One HTTP request taken on a loopback port and answered with 200.
class UploadServer {
 public:
  UploadServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~UploadServer() {
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }
  int port() const { return port_; }
  // The request as it came, once it is whole (or the wait ends).
  std::string Request() {
    thread_.join();
    thread_ = std::thread([] {});
    return request_;
  }

 private:
  void Serve() {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener_, &ready);
    timeval wait{30, 0};
    if (select(0, &ready, nullptr, nullptr, &wait) != 1) return;
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    char buffer[65536];
    size_t expected = std::string::npos;
    for (int got; (got = recv(client, buffer, sizeof buffer, 0)) > 0;) {
      request_.append(buffer, static_cast<size_t>(got));
      const size_t head = request_.find("\r\n\r\n");
      const size_t field = request_.find("Content-Length: ");
      if (head != std::string::npos && field != std::string::npos && field < head)
        expected = head + 4 + std::stoul(request_.substr(field + 16));
      if (request_.size() >= expected) break;
    }
    const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(client, answer, sizeof answer - 1, 0);
    closesocket(client);
  }
  SOCKET listener_;
  int port_ = 0;
  std::string request_;
  std::thread thread_;
};

// With the user's consent given beforehand the real sender posts the report
// folder over WinINet, one part per file, and moves it to the sent reports.
TEST_F(CrashWin, TheRealSenderUploadsTheReportWithConsent) {
  UploadServer server;
  const std::string reports = dir_ + "\\reports-upload";
  SetEnvironmentVariableA("QV_TEST_REPORTS", reports.c_str());
  SetEnvironmentVariableA("QV_TEST_REAL_SENDER", "1");
  SetEnvironmentVariableA("QUORVANTA_CRASH_SEND", "1");
  SetEnvironmentVariableA("QV_TEST_UPLOAD", ("http://127.0.0.1:" + std::to_string(server.port()) + "/crash").c_str());
  const auto [code, output] = Child(CRASH_INST_HANDLER_MASK, 7);
  EXPECT_EQ(code, 1) << output;
  const std::string request = server.Request();
  EXPECT_EQ(request.rfind("POST /crash HTTP/1.1", 0), 0u) << request.substr(0, 300);
  for (const char* part : {"name=\"crashGuid\"", "name=\"appName\"\r\n\r\nCrashTest",
                           "name=\"report.txt\"; filename=\"report.txt\"", "name=\"backtrace.txt\""})
    EXPECT_NE(request.find(part), std::string::npos) << part;
  // The sender moves the folder once the server has answered.
  WIN32_FIND_DATAA found;
  HANDLE search = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 100 && search == INVALID_HANDLE_VALUE; ++i, Sleep(100))
    search = FindFirstFileA((reports + "\\SentCrashReports\\*-*-*-*-*").c_str(), &found);
  EXPECT_NE(search, INVALID_HANDLE_VALUE) << "the report was not moved to the sent reports";
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  for (const char* name : {"QV_TEST_REAL_SENDER", "QUORVANTA_CRASH_SEND", "QV_TEST_UPLOAD"})
    SetEnvironmentVariableA(name, nullptr);
}

TEST_F(CrashWin, AMissingSenderFailsTheInstallWithItsText) {
  auto [code, output] = Child(0, -2);
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find("CrashSender.exe is not found in the specified path."), std::string::npos) << output;
}

}  // namespace

// "child FLAGS KIND": installs and emulates the crash; KIND -1 only installs,
// -2 installs from a folder without a sender and prints the text.
int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "child") == 0) {
    const uint32_t flags = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const int kind = std::atoi(argv[3]);
    if (kind == -2) {
      CrashInstallInfo info{};
      info.cb = kCrashInstallInfoSize;
      info.appVersion = u"1.0";
      info.senderDirectory = u"C:\\nowhere";
      char16_t text[512];
      InstallCrashHandler(&info);
      GetCrashHandlerErrorMessage(text, 512);
      std::string narrow(text, text + std::char_traits<char16_t>::length(text));
      std::printf("%s\n", narrow.c_str());
      return 0;
    }
    if (Install(flags) != 0) {
      char16_t text[512];
      GetCrashHandlerErrorMessage(text, 512);
      std::printf("install failed: %s\n", std::string(text, text + std::char_traits<char16_t>::length(text)).c_str());
      return 2;
    }
    if (kind == -1) return UninstallCrashHandler();
    std::printf("returned %d\n", EmulateCrash(kind));
    return 3;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
