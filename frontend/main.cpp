// Entry point: start-up in a fixed order, the main window's run, shutdown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/shared_state.h"
#include "runtime/thread.h"
#include "callback/knocker.h"
#include "config/settings.h"
#include "crash/crash_report.h"
#include "platform/environment.h"
#include "platform/message_box.h"
#include "platform/message_box_gtk.h"
#include "platform/message_queue.h"
#include "platform/named_mutex.h"
#include "platform/quit_request.h"
#include "platform/thread.h"
#include "ui/headless_window.h"
#include "ui/main_window.h"
#include "ui/windowing.h"

namespace {

bool g_firstRun = false;
bool g_autorun = false;

// The flags are looked for anywhere in the text after the program's name.
std::string JoinArguments(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

// How long shutdown gives a callback run under way to end; the process ends
// either way, and nothing of the run needs the window.
constexpr unsigned kCallbackEndMs = 300;

bool HeadlessRequested() {
  const char* value = std::getenv("QUORVANTA_HEADLESS");
  return value && std::strcmp(value, "1") == 0;
}

std::u16string Wide(const std::string& text) {
  // Addresses and names here are ASCII.
  return std::u16string(text.begin(), text.end());
}

// Installs crash reporting with the program's record; 0 on success.
int InstallCrashReporting() {
  const std::string site = platform::SiteBase();
  const std::u16string privacy = Wide(site + "/privacy");
  const std::u16string upload = Wide(site + "/crash-report");
  CrashInstallInfo info{};
  info.cb = kCrashInstallInfoSize;
  info.appName = u"Quorvanta GUI";
  info.appVersion = u"0.0.8";
  info.emailTo = u"crash-reports@quorvanta.example";
  info.emailSubject = u"Quorvanta 0.0.8 Error Report";
  info.uploadUrl = upload.c_str();
  info.senderSettings[0] = 3;
  info.senderSettings[1] = -1;
  info.senderSettings[2] = -1;
  info.flags = 0x43FFF;
  info.privacyPolicyUrl = privacy.c_str();
  return InstallCrashHandler(&info);
}

// A SIGTERM or SIGINT from outside ends the program the way Exit does.
bool g_windowed = false;

void WaitForQuit(void*) {
  WorkerEnter();
  if (platform::WaitQuitRequest())
    platform::UiQueue().Post(g_windowed ? WM_CLOSE : HeadlessWindow::kQuitMessage, 0, 0);
  WorkerLeave();
}

}  // namespace

int main(int argc, char** argv) {
  // The flags come from the arguments as given, before GTK takes its own out.
  const std::string arguments = JoinArguments(argc, argv);

  if (InstallCrashReporting() != 0) {
    char16_t wide[512] = {};
    char text[1536] = {};
    GetCrashHandlerErrorMessage(wide, 512);
    GetCrashHandlerErrorMessage(text, sizeof text);
    std::printf("%s\n", text);
    std::fflush(stdout);
    // The box is shown by the window layer when there is a display.
    if (!HeadlessRequested()) InitWindowing(&argc, &argv);
    platform::ShowMessageBox("Error", text, platform::MessageIcon::Error);
    return 1;
  }
  // Early exits below leave no crash block or event behind.
  std::atexit([] { UninstallCrashHandler(); });
  if (platform::InitQuitRequest()) {
    SetExternalQuitHandler(&platform::RequestQuit);
  }

  // Without a display the program still runs its tunnel control, headless.
  bool windowed = false;
  if (!HeadlessRequested()) {
    windowed = InitWindowing(&argc, &argv);
    // Without any display named, running headless is the plain intent; a
    // named display that cannot be opened is worth a line.
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!windowed && ((x && *x) || (wayland && *wayland)))
      std::fprintf(stderr, "quorvanta: cannot open the display; running without a window\n");
  }

  if (arguments.find("-firstrun") != std::string::npos) g_firstRun = true;
  if (arguments.find("-autorun") != std::string::npos) g_autorun = true;

  std::memset(ConfigDirectory, 0, sizeof ConfigDirectory);
  std::memset(ProfilePath, 0, sizeof ProfilePath);
  std::memset(MachineId, 0, sizeof MachineId);

  // A failure to make the mutex is not an error: start-up goes on unguarded.
  if (platform::CreateNamedMutex("QuorvantaGui") == platform::NamedMutexResult::AlreadyExists) {
    platform::ShowMessageBox("Error", "Another instance of this application is running",
                             platform::MessageIcon::Error);
    return -1;
  }

  if (!LoadConfiguration()) std::exit(1);

  CreateSharedLists();

  g_windowed = windowed;
  platform::StartDetachedThread(&WaitForQuit, nullptr);

  if (!windowed) {
    HeadlessWindow* window = new HeadlessWindow();
    window->firstRun = g_firstRun;
    window->RunWindow(!g_autorun);
    FreeSharedLists();
    UninstallCrashHandler();
    delete window;  // sets the exit event: a running OpenVPN ends
    EndCallbackWorkers(kCallbackEndMs);
    return 0;
  }

  MainWindow* window = new MainWindow();
  window->firstRun = g_firstRun;
  window->RunWindow(!g_autorun);
  // No loop is left to show a worker's box.
  platform::EndGtkMessageBoxes();

  FreeSharedLists();
  UninstallCrashHandler();
  delete window;  // removes the tray icon, then sets the exit event: a running OpenVPN ends
  EndCallbackWorkers(kCallbackEndMs);
  return 0;
}
