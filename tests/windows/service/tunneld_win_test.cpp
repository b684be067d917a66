// quorvanta-tunneld.exe --console on its own pipe, with the stand-in
// openvpn.exe in an idle mode: requests, refusals and stops, by its log.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <string>

#include "windows/support/program.h"
#include <aclapi.h>
#include <sddl.h>

namespace {

using qvtest::Program;
using qvtest::Quoted;
using qvtest::ReadFileText;
using qvtest::WindowsPath;

constexpr const char* kPipe = "\\\\.\\pipe\\QuorvantaServiceTest";
constexpr const wchar_t* kExitEvent = L"Global\\Quorvanta_ovpn_exit_1";
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

// What a front end does before it asks for a tunnel: listen on 127.0.0.1:63782.
class ManagementListener {
 public:
  ManagementListener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(63782);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = socket_ != INVALID_SOCKET &&
                 bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(socket_, 4) == 0;
  }
  ~ManagementListener() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }
  bool listening() const { return listening_; }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool listening_ = false;
};

// The DACL of a kernel object, as SDDL text.
std::string DaclOf(HANDLE object) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return "unreadable";
  wchar_t* text = nullptr;
  std::string out = "unreadable";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    out.clear();
    for (const wchar_t* c = text; *c; ++c) out += static_cast<char>(*c);
    LocalFree(text);
  }
  LocalFree(sd);
  // Wine keeps no "protected" mark on a kernel object's DACL; Windows does.
  if (out.rfind("D:P(", 0) == 0) out.erase(2, 1);
  return out;
}

std::string OwnSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
  CloseHandle(token);
  char* text = nullptr;
  ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::string sid = text ? text : "";
  LocalFree(text);
  return sid;
}

// First in the file: the management port has not been used yet.
// No openvpn.exe beside config.qvpn: the one OpenVPN's own installer recorded,
// and when there is none either, each request the service cannot serve says so.
TEST(TunneldWinOpenVpn, FoundThroughItsInstallersEntryOrNamedAsMissing) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::string dir = qvtest::Utf8(temp) + "qv openvpn lookup " + std::to_string(GetCurrentProcessId());
  CreateDirectoryW(qvtest::Wide(dir).c_str(), nullptr);
  const std::string installed = dir + "\\installed-openvpn.exe";
  ASSERT_TRUE(CopyFileW(qvtest::Wide(WindowsPath(QV_STANDIN_OPENVPN)).c_str(), qvtest::Wide(installed).c_str(), FALSE));
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OpenVPN", 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::wstring value = qvtest::Wide(installed);
  RegSetValueExW(key, L"exe_path", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  {
    Program service;
    ASSERT_TRUE(StartService(&service, dir)) << service.Output();
    EXPECT_NE(service.Output().find("OpenVPN " + installed + " in "), std::string::npos) << service.Output();
  }
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OpenVPN", KEY_WOW64_64KEY, 0);
  {
    Program service;
    ASSERT_TRUE(StartService(&service, dir)) << service.Output();
    ManagementListener frontEnd;
    ASSERT_TRUE(frontEnd.listening());
    ASSERT_TRUE(Send(&kRequest));
    EXPECT_TRUE(service.WaitFor("OpenVPN 2.6 must be installed", 1, kWaitMs)) << service.Output();
  }
  DeleteFileW(qvtest::Wide(installed).c_str());
  RemoveDirectoryW(qvtest::Wide(dir).c_str());
}

class TunneldWin : public ::testing::Test {
 protected:
  void SetUp() override {
    // Made before the service, with a null DACL, as an early front end (or
    // anybody) could: the service must make it its own all the same.
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof sa, &open, FALSE};
    premade_ = CreateEventW(&sa, TRUE, FALSE, kExitEvent);
    ASSERT_NE(premade_, nullptr);
    // Letters outside the ANSI code page: the service takes the folder whole.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = qvtest::Utf8(temp) + "qv tunneld tëst ωδ " + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(qvtest::Wide(dir_).c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(qvtest::Wide(WindowsPath(QV_STANDIN_OPENVPN)).c_str(),
                          qvtest::Wide(dir_ + "\\openvpn.exe").c_str(), FALSE));
    record_ = dir_ + "\\record.txt";
    DeleteFileW(qvtest::Wide(record_).c_str());
    SetEnvironmentVariableW(L"QV_STANDIN_RECORD", qvtest::Wide(record_).c_str());
    SetEnvironmentVariableA("QV_STANDIN_MODE", "idle");
    ASSERT_TRUE(StartService(&service_, dir_)) << service_.Output();
  }
  void TearDown() override {
    if (premade_) CloseHandle(premade_);
  }
  HANDLE premade_ = nullptr;
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
  // No front end listens for OpenVPN's management: nothing starts.
  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("nothing listens on 127.0.0.1:63782", 1, kWaitMs)) << service_.Output();

  ManagementListener frontEnd;
  ASSERT_TRUE(frontEnd.listening());
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
  const std::string entry =
      "\"" + dir_ + "\\openvpn.exe\" " + kRequest.substr(12, kRequest.size() - 13) + "\ncwd: " + dir_ + "\n";
  EXPECT_EQ(ReadFileText(record_), entry + entry);
}

// What another user would try: a second instance of the service's pipe, the
// exit event's DACL, and a listener of his own on the management port.
TEST_F(TunneldWin, TheServiceKeepsItsPipeItsEventAndItsTunnelFromStrangers) {
  wchar_t pipe[64];
  MultiByteToWideChar(CP_UTF8, 0, kPipe, -1, pipe, 64);
  for (DWORD first : {0ul, static_cast<unsigned long>(FILE_FLAG_FIRST_PIPE_INSTANCE)}) {
    HANDLE second = CreateNamedPipeW(pipe, PIPE_ACCESS_INBOUND | first, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 0,
                                     4096, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE) << "every instance of the name is the service's";
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
  }

  // Users may wait on the event, set and reset it; nothing more, whoever made it.
  const std::string everyUser = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100002;;;OW)(A;;0x100002;;;AU)";
  EXPECT_EQ(DaclOf(premade_), everyUser);

  {
    ManagementListener frontEnd;
    ASSERT_TRUE(frontEnd.listening());
    ASSERT_TRUE(Send(&kRequest));
    ASSERT_TRUE(service_.WaitFor("started OpenVPN", 1, kWaitMs)) << service_.Output();
    // While the tunnel runs only its user opens the event anew.
    EXPECT_EQ(DaclOf(premade_), "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100002;;;OW)(A;;0x100002;;;" + OwnSid() + ")");
    // A handle opened before keeps its rights: every front end holds one.
    SetEvent(premade_);
    ASSERT_TRUE(service_.WaitFor("exited with status 0", 1, kWaitMs)) << service_.Output();
    for (int i = 0; i < 100 && DaclOf(premade_) != everyUser; ++i) Sleep(50);
    EXPECT_EQ(DaclOf(premade_), everyUser);
  }

  // Another Unix user's listener stands for another user's program on Wine.
  const std::string stranger =
      qvtest::UnixScriptLine(QV_SOURCE_DIR "/tests/windows/support/stranger.sh", "listen 63782 4000");
  if (stranger.rfind("skip", 0) == 0) GTEST_SKIP() << stranger;
  ASSERT_EQ(stranger, "listening");
  ResetEvent(premade_);
  ASSERT_TRUE(Send(&kRequest));
  ASSERT_TRUE(service_.WaitFor("127.0.0.1:63782 is held by Unix uid 65534, not by the caller", 1, kWaitMs))
      << service_.Output();
  EXPECT_EQ(service_.Count("started OpenVPN"), 1u) << service_.Output();
}

// --install registers the service and its event source, whose message table
// shows the service's line as it is; --uninstall takes both away again.
TEST(TunneldWinInstall, RegistersTheServiceAndItsEventSourceAndRemovesBoth) {
  const wchar_t* source = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuorvantaTunnel";
  Program install;
  ASSERT_TRUE(install.Start(Quoted(WindowsPath(QV_TUNNELD)) + " --install"));
  ASSERT_EQ(install.Wait(), 0) << install.Output();
  Program uninstall;  // whatever the checks say, the prefix keeps no service
  wchar_t file[MAX_PATH] = {};
  DWORD size = sizeof file;
  const LONG found = RegGetValueW(HKEY_LOCAL_MACHINE, source, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                  nullptr, file, &size);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"QuorvantaTunnel", SERVICE_QUERY_CONFIG) : nullptr;
  EXPECT_NE(service, nullptr);
  if (service) CloseServiceHandle(service);
  ASSERT_TRUE(uninstall.Start(Quoted(WindowsPath(QV_TUNNELD)) + " --uninstall"));
  EXPECT_EQ(uninstall.Wait(), 0) << uninstall.Output();

  ASSERT_EQ(found, ERROR_SUCCESS);
  HMODULE messages = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(messages, nullptr) << qvtest::Utf8(file);
  DWORD_PTR line[] = {reinterpret_cast<DWORD_PTR>(L"quorvanta-tunneld: serving \\\\.\\pipe\\QuorvantaPipe")};
  wchar_t text[200] = {};
  EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, 1, 0x409, text, 200,
                           reinterpret_cast<va_list*>(line)),
            0u);
  EXPECT_EQ(qvtest::Utf8(text).rfind("quorvanta-tunneld: serving \\\\.\\pipe\\QuorvantaPipe", 0), 0u)
      << qvtest::Utf8(text);
  FreeLibrary(messages);

  HKEY gone = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, source, 0, KEY_READ, &gone), ERROR_SUCCESS);
  service = manager ? OpenServiceW(manager, L"QuorvantaTunnel", SERVICE_QUERY_CONFIG) : nullptr;
  EXPECT_EQ(service, nullptr);
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

}  // namespace
