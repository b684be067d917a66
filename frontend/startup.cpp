#include "startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "callback/knocker.h"
#include "config/settings.h"
#include "crash/crash_report.h"
#include "platform/environment.h"
#include "platform/message_box.h"
#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/quit_request.h"
#include "platform/sockets.h"
#include "runtime/shared_state.h"
#include "runtime/thread.h"
#include "runtime/ui_messages.h"
#include "runtime/well_known.h"
#include "ui/headless_window.h"

namespace {

std::u16string Wide(const std::string& text) {
  // Addresses and names here are ASCII.
  return std::u16string(text.begin(), text.end());
}

}  // namespace

// Step 1 with the program's record; the failure's text in text.
bool InstallCrashReporting(char* text, size_t size) {
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
  if (InstallCrashHandler(&info) == 0) return true;
  char16_t wide[512] = {};
  GetCrashHandlerErrorMessage(wide, 512);
  GetCrashHandlerErrorMessage(text, static_cast<int>(size));
  return false;
}

bool HelpRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

void PrintUsage(const char* systemPart) {
  std::fputs(
      "usage: quorvanta [-firstrun] [-autorun]\n"
      "The Quorvanta VPN front end: connects through the tunnel service at start.\n"
      "  -firstrun  after the first tunnel-up, hide the window and open the \"installed\" page\n"
      "  -autorun   start with the window hidden (the log-in autostart uses this)\n"
      "  -h, --help print this and exit\n"
      "Environment:\n"
      "  QUORVANTA_SITE      the vendor's web-site base (default " QV_USAGE_SITE
      ")\n"
      "  QUORVANTA_HEADLESS  1: no window; page calls and tray states on standard output,\n"
      "                      commands connect, disconnect and quit on standard input\n"
      "  QUORVANTA_MESSAGES  stderr: boxes go to standard error instead of the screen\n",
      stdout);
  std::fputs(systemPart, stdout);
  std::fflush(stdout);
}

std::string JoinArguments(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

StartFlags ReadFlags(const std::string& arguments) {
  StartFlags flags;
  flags.firstRun = arguments.find("-firstrun") != std::string::npos;
  flags.autorun = arguments.find("-autorun") != std::string::npos;
  return flags;
}

bool HeadlessRequested() {
  const char* value = std::getenv("QUORVANTA_HEADLESS");
  return value && std::strcmp(value, "1") == 0;
}

bool PrepareProcess(int* exitCode) {
  // Left started for the process's life; the listener starts it again for itself.
  if (!platform::StartSockets()) {
    platform::ShowMessageBox("Error", "Thw winsock.dll not found", platform::MessageIcon::Error);
    platform::StopSockets();
    *exitCode = 0;
    return false;
  }

  std::memset(ConfigDirectory, 0, sizeof ConfigDirectory);
  std::memset(ProfilePath, 0, sizeof ProfilePath);
  std::memset(MachineId, 0, sizeof MachineId);

  // A failure to make the mutex is not an error: start-up goes on unguarded.
  if (platform::CreateNamedMutex("QuorvantaGui") == platform::NamedMutexResult::AlreadyExists) {
    // The running one shows its window: on a desktop without a tray it is
    // the only way back to it.
    if (auto show = platform::NamedEvent::Open(kShowWindowEventName)) show->Set();
    platform::ShowMessageBox("Error", "Another instance of this application is running", platform::MessageIcon::Error);
    *exitCode = -1;
    return false;
  }

  if (!LoadConfiguration()) std::exit(1);

  CreateSharedLists();
  return true;
}

namespace {

bool g_windowed = false;

void WaitForQuit(void*) {
  if (platform::WaitQuitRequest())
    platform::UiQueue().Post(g_windowed ? msg::Close : HeadlessWindow::kQuitMessage, 0, 0);
}

void WaitForShowRequest(void* event) {
  // Ends with the process; an event that can no longer be waited on ends it sooner.
  while (static_cast<platform::NamedEvent*>(event)->Wait(-1)) platform::UiQueue().Post(msg::ShowWindowRequest, 0, 0);
}

}  // namespace

void StartQuitWatcher(bool windowed) {
  g_windowed = windowed;
  platform::UiQueue();  // made here, so the queue belongs to this, the user-interface thread
  StartWorker(&WaitForQuit, nullptr);
  if (!windowed) return;
  // A second start sets this; it lives as long as the process, like its watcher.
  static platform::NamedEvent* show =
      platform::NamedEvent::Replace(kShowWindowEventName, platform::EventReset::Auto).release();
  if (show) StartWorker(&WaitForShowRequest, show);
}

int RunHeadless(const StartFlags& flags) {
  HeadlessWindow* window = new HeadlessWindow();
  window->firstRun = flags.firstRun;
  window->RunWindow(!flags.autorun);
  FreeSharedLists();
  UninstallCrashHandler();
  delete window;  // sets the exit event: a running OpenVPN ends
  EndCallbackWorkers(kCallbackEndMs);
  return 0;
}
