// The whole road of one connection on Windows: headless quorvanta.exe,
// quorvanta-tunneld.exe --console and the stand-in openvpn.exe, which replays
// OpenVPN's side of the management channel and drops its tunnel after a while.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "profile/profile_codec.h"
#include "support/registry_state.h"
#include "windows/support/program.h"

namespace {

using qvtest::kCryptographyKey;
using qvtest::kProductKey;
using qvtest::Program;
using qvtest::Quoted;
using qvtest::ReadFileText;
using qvtest::SavedKey;
using qvtest::SetString;
using qvtest::WindowsPath;

// Per run: a service left by a run that was killed cannot take a later run's pipe.
const std::string kPipe = "\\\\.\\pipe\\QuorvantaFrontEndTest" + std::to_string(GetCurrentProcessId());
constexpr const char* kMachineId = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";
constexpr int kStepMs = 20000;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class FrontEndE2eWin : public ::testing::Test {
 protected:
  void SetUp() override {
    // The configuration folder holds letters outside the ANSI code page.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = qvtest::Utf8(temp) + "qv e2e dàtà ωδ " + std::to_string(GetCurrentProcessId());
    CreateDirectoryW(qvtest::Wide(dir_).c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(qvtest::Wide(WindowsPath(QV_STANDIN_OPENVPN)).c_str(),
                          qvtest::Wide(dir_ + "\\openvpn.exe").c_str(), FALSE));
    record_ = dir_ + "\\record.txt";
    DeleteFileW(qvtest::Wide(record_).c_str());

    // Two servers, so that a dropped tunnel fails over to the other.
    std::string dataVpn, error;
    ASSERT_TRUE(EncodeProfile("127.0.0.1:1194:udp\n127.0.0.2:1195:tcp\n", &dataVpn, &error)) << error;
    ASSERT_TRUE(qvtest::WriteFileText(dir_ + "\\data.vpn", dataVpn));
    SetString(kProductKey, nullptr, dir_);
    SetString(kProductKey, "config_dir", dir_);
    SetString(kCryptographyKey, "MachineGuid", kMachineId);

    SetEnvironmentVariableA("QUORVANTA_PIPE", kPipe.c_str());
    SetEnvironmentVariableA("QUORVANTA_MESSAGES", "stderr");
    SetEnvironmentVariableA("QUORVANTA_HEADLESS", "1");
    // The list update and the callback find no site here, at once.
    SetEnvironmentVariableA("QUORVANTA_SITE", "http://127.0.0.1:9");
    // The stand-in logs in only with the machine identity, and drops each
    // tunnel after one traffic count.
    SetEnvironmentVariableW(L"QV_STANDIN_RECORD", qvtest::Wide(record_).c_str());
    SetEnvironmentVariableA("QV_STANDIN_MODE", "drop");
    SetEnvironmentVariableA("QV_STANDIN_DROP_MS", "4500");
    SetEnvironmentVariableA("QV_STANDIN_PASSWORD", kMachineId);

    std::string line = Quoted(WindowsPath(QV_TUNNELD));
    line += " --console --pipe ";
    line += kPipe;
    line += " --config-dir \"" + dir_ + "\" --stop-timeout 2000";
    ASSERT_TRUE(service_.Start(line));
    ASSERT_TRUE(service_.WaitFor("serving ", 1, kStepMs)) << service_.Output();
  }

  std::string Outputs() { return "front end:\n" + frontEnd_.Output() + "\nservice:\n" + service_.Output(); }

  std::string dir_, record_;
  SavedKey product_{kProductKey, true};
  SavedKey cryptography_{kCryptographyKey, false};
  Program service_;
  Program frontEnd_;
};

TEST_F(FrontEndE2eWin, ConnectsCountsFailsOverAndDisconnects) {
  // Finding the service is enough: the front end connects by itself.
  ASSERT_TRUE(frontEnd_.Start(Quoted(WindowsPath(QV_FRONTEND))));
  ASSERT_TRUE(frontEnd_.WaitFor("page connected Connected", 1, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("tray 5", 1, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("page updateTraffic 2 kB 1 kB", 1, kStepMs)) << Outputs();

  // The stand-in drops the tunnel: the next server's OpenVPN is asked for
  // and connects in its place.
  ASSERT_TRUE(service_.WaitFor("started OpenVPN", 2, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("page connected Connected", 2, kStepMs)) << Outputs();
  EXPECT_EQ(service_.Count("exited with status 1"), 1u) << Outputs();

  ASSERT_TRUE(frontEnd_.Write("disconnect\n"));
  ASSERT_TRUE(frontEnd_.WaitFor("page disconnected Disconnected", 1, kStepMs)) << Outputs();
  // OpenVPN ends itself on the exit event; the service may see the event or
  // only the exit, whichever comes first.
  ASSERT_TRUE(service_.WaitFor("exited with status 0", 1, kStepMs)) << Outputs();

  ASSERT_TRUE(frontEnd_.Write("quit\n"));
  EXPECT_EQ(frontEnd_.Wait(kStepMs), 0) << Outputs();
  const std::string out = frontEnd_.Output();
  // Connecting at each management connection, and as soon as the first tunnel is lost.
  EXPECT_EQ(CountOf(out, "page connecting Connecting"), 3u) << Outputs();
  EXPECT_EQ(out.find("Quorvanta:"), std::string::npos) << "no box expected\n" << Outputs();
  // Tray states in order: connecting, connected, connecting again as soon as
  // the tunnel is lost and when the next server is asked for, connected,
  // disconnecting, disconnected.
  std::string trays;
  for (size_t at = out.find("tray "); at != std::string::npos; at = out.find("tray ", at + 1))
    trays += out.substr(at + 5, 1);
  EXPECT_EQ(trays, "4544523") << Outputs();

  // One OpenVPN per server, each with its own remote, in the config folder.
  const std::string record = ReadFileText(record_);
  EXPECT_EQ(CountOf(record, "--management 127.0.0.1 63782 --management-hold"), 2u) << record;
  EXPECT_EQ(CountOf(record, "--remote 127.0.0.1 1194 --proto udp"), 1u) << record;
  EXPECT_EQ(CountOf(record, "--remote 127.0.0.2 1195 --proto tcp"), 1u) << record;
  EXPECT_EQ(CountOf(record, "cwd: " + dir_ + "\n"), 2u) << record;
}

// Another user's program on the management port gets nothing: not even the
// machine identity that OpenVPN is given as its credentials.
TEST_F(FrontEndE2eWin, AStrangerOnTheManagementPortIsRefusedBeforeAByteIsSaid) {
  // No service for this front end: its listener waits, idle.
  SetEnvironmentVariableA("QUORVANTA_PIPE", "\\\\.\\pipe\\QuorvantaNobodyServesThis");
  ASSERT_TRUE(frontEnd_.Start(Quoted(WindowsPath(QV_FRONTEND))));
  ASSERT_TRUE(frontEnd_.WaitFor("Server: Waiting for a client to connect", 1, kStepMs)) << Outputs();
  const std::string got = qvtest::UnixScriptLine(QV_SOURCE_DIR "/tests/windows/support/stranger.sh", "talk 63782");
  if (got.rfind("skip", 0) == 0) GTEST_SKIP() << got;
  EXPECT_EQ(got, "got ") << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("Server: refused a connection from Unix uid 65534", 1, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.Write("quit\n"));
  EXPECT_EQ(frontEnd_.Wait(kStepMs), 0) << Outputs();
}

// The windowed program on the same road. Its page cannot load under Wine, so
// the page calls and tray states are read from QUORVANTA_UI_LOG's lines; the
// commands arrive as the tray menu sends them, WM_COMMAND to the window.
TEST_F(FrontEndE2eWin, TheWindowedProgramGoesTheSameRoadAndEndsFromTheMenu) {
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", nullptr);
  SetEnvironmentVariableA("QUORVANTA_UI_LOG", "1");
  ASSERT_TRUE(frontEnd_.Start(Quoted(WindowsPath(QV_FRONTEND)) + " -autorun"));
  HWND window = nullptr;
  for (int i = 0; i < 200 && !window; ++i, Sleep(50)) window = FindWindowW(L"QuorvantaHtmlControl", L"Quorvanta");
  ASSERT_NE(window, nullptr) << Outputs();
  EXPECT_FALSE(IsWindowVisible(window)) << "-autorun starts hidden";
  ASSERT_TRUE(frontEnd_.WaitFor("page connecting Connecting", 1, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("page connected Connected", 1, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("page updateTraffic 2 kB 1 kB", 1, kStepMs)) << Outputs();
  // A left press on the tray icon shows the window.
  PostMessageW(window, 32769, 0, WM_LBUTTONDOWN);
  for (int i = 0; i < 100 && !IsWindowVisible(window); ++i) Sleep(50);
  EXPECT_TRUE(IsWindowVisible(window));

  ASSERT_TRUE(service_.WaitFor("started OpenVPN", 2, kStepMs)) << Outputs();
  ASSERT_TRUE(frontEnd_.WaitFor("page connected Connected", 2, kStepMs)) << Outputs();
  PostMessageW(window, WM_COMMAND, 1002, 0);  // Disonnect
  ASSERT_TRUE(frontEnd_.WaitFor("page disconnected Disconnected", 1, kStepMs)) << Outputs();
  PostMessageW(window, WM_COMMAND, 1004, 0);  // Exit
  EXPECT_EQ(frontEnd_.Wait(kStepMs), 0) << Outputs();
  const std::string out = frontEnd_.Output();
  std::string trays;
  for (size_t at = out.find("tray "); at != std::string::npos; at = out.find("tray ", at + 1))
    trays += out.substr(at + 5, 1);
  EXPECT_EQ(trays, "4544523") << Outputs();
  EXPECT_EQ(out.find("Quorvanta:"), std::string::npos) << "no box expected\n" << Outputs();
}

// Asks the X side (tray_probe.sh) and waits for its one line.
std::string Probe(const std::string& command, int waitMs = 25000) {
  return qvtest::UnixScriptLine(QV_SOURCE_DIR "/tests/windows/support/tray_probe.sh", command, waitMs);
}

// On a display with an XEmbed tray (trayer): the icon docks, presses on it
// reach WM_TRAYICON, the menu's Exit ends the program, the icon follows the state.
TEST_F(FrontEndE2eWin, TheTrayIconDocksAnswersPressesAndItsExitEndsTheProgram) {
  if (!std::getenv("QV_TRAY_HOST")) GTEST_SKIP() << "needs an XEmbed tray on the display";
  SetEnvironmentVariableA("QUORVANTA_HEADLESS", nullptr);
  SetEnvironmentVariableA("QUORVANTA_UI_LOG", "1");
  const ULONGLONG start = GetTickCount64();
  ASSERT_TRUE(frontEnd_.Start(Quoted(WindowsPath(QV_FRONTEND)) + " -autorun"));
  const std::string docked = Probe("dock");
  ASSERT_EQ(docked.rfind("docked ", 0), 0u) << docked << "\n" << Outputs();
  std::printf("[figure] start to tray icon docked: %llu ms\n", GetTickCount64() - start);
  HWND window = FindWindowW(L"QuorvantaHtmlControl", L"Quorvanta");
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));

  ASSERT_TRUE(frontEnd_.WaitFor("tray 5", 1, kStepMs)) << Outputs();
  const std::string green = Probe("look");
  EXPECT_EQ(Probe("click 1"), "clicked 1");
  for (int i = 0; i < 100 && !IsWindowVisible(window); ++i) Sleep(50);
  EXPECT_TRUE(IsWindowVisible(window)) << "a left press shows the window";

  // "TaskbarCreated" while the shell still has the icon (as after a change of
  // DPI) must not leave an icon that no longer follows the state.
  PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  Sleep(200);
  PostMessageW(window, WM_COMMAND, 1002, 0);
  ASSERT_TRUE(frontEnd_.WaitFor("tray 3", 1, kStepMs)) << Outputs();
  Sleep(300);
  const std::string red = Probe("look");
  EXPECT_EQ(green.rfind("look ", 0), 0u) << green;
  EXPECT_NE(green, red) << "the icon follows the state";

  EXPECT_EQ(Probe("click 3"), "clicked 3");
  HWND menu = nullptr;
  for (int i = 0; i < 100 && !(menu && IsWindowVisible(menu)); ++i, Sleep(50)) menu = FindWindowW(L"#32768", nullptr);
  ASSERT_TRUE(menu && IsWindowVisible(menu)) << "a right press opens the menu";
  // Exit is the last of the four items.
  RECT area{};
  GetWindowRect(menu, &area);
  const int itemHeight = (area.bottom - area.top) / 4;
  const int x = (area.left + area.right) / 2, y = area.bottom - itemHeight / 2 - 1;
  EXPECT_EQ(Probe("clickat " + std::to_string(x) + " " + std::to_string(y)).rfind("clicked at", 0), 0u);
  EXPECT_EQ(frontEnd_.Wait(kStepMs), 0) << Outputs();
}

}  // namespace
