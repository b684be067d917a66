// quorvanta-tunneld.exe --console on its own pipe, with the stand-in
// openvpn.exe in an idle mode: requests, refusals and stops, by its log.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

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

// The build names its files by host paths; Wine shows the host's root as Z:.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path.insert(0, "Z:");
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

class Service {
 public:
  bool Start(const std::string& configDir) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&read_, &write, &sa, 0)) return false;
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
    std::string line = "\"";
    line += WindowsPath(QV_TUNNELD);
    line += "\" --console --pipe ";
    line += kPipe;
    line += " --config-dir \"" + configDir + "\" --stop-timeout 2000";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdError = write;
    si.hStdOutput = write;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    bool ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &process_);
    CloseHandle(write);
    if (!ok) return false;
    reader_ = std::thread([this] {
      char buf[512];
      DWORD got = 0;
      while (ReadFile(read_, buf, sizeof buf, &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buf, got);
        changed_.notify_all();
      }
    });
    return WaitFor("serving ");
  }
  ~Service() {
    if (process_.hProcess) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, INFINITE);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    if (reader_.joinable()) reader_.join();
    CloseHandle(read_);
  }
  bool WaitFor(const std::string& text, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return Count(text) >= count; });
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
    return n;
  }
  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }

 private:
  HANDLE read_ = nullptr;
  PROCESS_INFORMATION process_{};
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
};

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
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
    ASSERT_TRUE(service_.Start(dir_)) << service_.Output();
  }
  std::string dir_, record_;
  Service service_;
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
  ASSERT_TRUE(service_.WaitFor("refused request from user S-", 2)) << service_.Output();

  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("started OpenVPN")) << service_.Output();
  EXPECT_EQ(service_.Count("started OpenVPN"), 1u) << service_.Output();
  // A second request stops the first before its own starts.
  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("started OpenVPN", 2)) << service_.Output();
  EXPECT_EQ(service_.Count("a new tunnel request arrived"), 1u) << service_.Output();
  EXPECT_EQ(service_.Count("exited with status 0"), 1u) << service_.Output();
  EXPECT_EQ(service_.Count("terminating it"), 0u) << service_.Output();

  // The front end's way to end the tunnel: the exit event.
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\Quorvanta_ovpn_exit_1");
  ASSERT_NE(event, nullptr);
  SetEvent(event);
  CloseHandle(event);
  ASSERT_TRUE(service_.WaitFor("exited with status 0", 2)) << service_.Output();
  EXPECT_EQ(service_.Count("the exit event was set"), 1u) << service_.Output();

  // Both have ended, so both have written their command lines: the request's
  // tokens as sent, behind the full path of the program, run in the config dir.
  const std::string entry = "\"" + dir_ + "\\openvpn.exe\" " + kRequest.substr(12, kRequest.size() - 13) +
                            "\ncwd: " + dir_ + "\n";
  EXPECT_EQ(ReadFileText(record_), entry + entry);
}

}  // namespace
