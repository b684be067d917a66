// quorvanta-tunneld.exe --console on its own pipe, with the stand-in
// openvpn.exe in an idle mode: requests, refusals and stops, by its log.
#include <gtest/gtest.h>

#include <string>

#include "windows/support/program.h"

namespace {

using qvtest::Program;
using qvtest::Quoted;
using qvtest::ReadFileText;
using qvtest::WindowsPath;

constexpr const char* kPipe = "\\\\.\\pipe\\QuorvantaServiceTest";
constexpr int kWaitMs = 15000;

const std::string kRequest =
    "openvpn.exe --service Global\\Quorvanta_ovpn_exit_1 1 --config config.qvpn --management 127.0.0.1 63782 "
    "--management-hold --management-query-passwords --management-client --remote 10.0.0.1 1194 --proto udp "
    "--hand-window 5 --resolv-retry 0 --verb 4 --explicit-exit-notify ";

// Writes text and its NUL (or nothing: the probe) and closes.
bool Send(const std::string* text) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 50 && h == INVALID_HANDLE_VALUE; ++i) {
    h = CreateFileA(kPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) WaitNamedPipeA(kPipe, 200);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = !text || WriteFile(h, text->c_str(), static_cast<DWORD>(text->size() + 1), &written, nullptr);
  CloseHandle(h);
  return ok;
}

// quorvanta-tunneld.exe --console on the test's pipe, serving when this returns true.
bool StartService(Program* service, const std::string& configDir) {
  std::string line = Quoted(WindowsPath(QV_TUNNELD));
  line += " --console --pipe ";
  line += kPipe;
  line += " --config-dir \"" + configDir + "\" --stop-timeout 2000";
  return service->Start(line) && service->WaitFor("serving ", 1, kWaitMs);
}

class TunneldWin : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dir_ = std::string(temp) + "qv tunneld test " + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(WindowsPath(QV_STANDIN_OPENVPN).c_str(), (dir_ + "\\openvpn.exe").c_str(), FALSE));
    record_ = dir_ + "\\record.txt";
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("QV_STANDIN_RECORD", record_.c_str());
    SetEnvironmentVariableA("QV_STANDIN_MODE", "idle");
    ASSERT_TRUE(StartService(&service_, dir_)) << service_.Output();
  }
  std::string dir_, record_;
  Program service_;
};

TEST_F(TunneldWin, RequestsStartOneOpenVpnAtATimeWithTheExactCommandLine) {
  // The probe and refused requests start nothing.
  ASSERT_TRUE(Send(nullptr));
  const std::string bad = "openvpn.exe --config x";
  ASSERT_TRUE(Send(&bad));
  const std::string foreignEvent = [] {
    std::string r = kRequest;
    r.replace(r.find("Quorvanta_ovpn_exit_1"), 21, "Quorvanta_ovpn_exit_2");
    return r;
  }();
  ASSERT_TRUE(Send(&foreignEvent));
  ASSERT_TRUE(service_.WaitFor("refused request from user S-", 2, kWaitMs)) << service_.Output();

  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("started OpenVPN", 1, kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.Count("started OpenVPN"), 1u) << service_.Output();
  // A second request stops the first before its own starts.
  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("started OpenVPN", 2, kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.Count("a new tunnel request arrived"), 1u) << service_.Output();
  EXPECT_EQ(service_.Count("exited with status 0"), 1u) << service_.Output();
  EXPECT_EQ(service_.Count("terminating it"), 0u) << service_.Output();

  // The front end's way to end the tunnel: the exit event.
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  SetEvent(event);
  CloseHandle(event);
  ASSERT_TRUE(service_.WaitFor("exited with status 0", 2, kWaitMs)) << service_.Output();
  EXPECT_EQ(service_.Count("the exit event was set"), 1u) << service_.Output();

  // Both have ended, so both have written their command lines: the request's
  // tokens as sent, behind the full path of the program, run in the config dir.
  const std::string entry = "\"" + dir_ + "\\openvpn.exe\" " + kRequest.substr(12, kRequest.size() - 13) +
                            "\ncwd: " + dir_ + "\n";
  EXPECT_EQ(ReadFileText(record_), entry + entry);
}

}  // namespace
