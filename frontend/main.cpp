// Entry point: start-up in a fixed order, the main window's run, shutdown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "callback/knocker.h"
#include "crash/crash_report.h"
#include "platform/environment.h"
#include "platform/message_box.h"
#include "platform/message_box_gtk.h"
#include "platform/quit_request.h"
#include "runtime/shared_state.h"
#include "startup.h"
#include "ui/main_window.h"
#include "ui/windowing.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  // The flags come from the arguments as given, before GTK takes its own out.
  if (HelpRequested(argc, argv)) {
    PrintUsage(
        "  QUORVANTA_REGISTRY  the settings database (default /var/lib/quorvanta/registry.db)\n"
        "  QUORVANTA_PIPE      the tunnel service's socket (default /run/quorvanta/QuorvantaPipe)\n"
        "  QUORVANTA_OPENER    the command that opens web pages (default xdg-open)\n"
        "Files:\n"
        "  <config_dir>/data.vpn   the server profile (config_dir in the settings; the package\n"
        "                          makes it /var/lib/quorvanta/profile/)\n"
        "  $XDG_DATA_HOME/CrashReport/   crash reports (default ~/.local/share/CrashReport/)\n"
        "  journalctl -u quorvanta-tunneld   the tunnel service's log\n"
        "See quorvanta(1).\n");
    return 0;
  }
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

  const StartFlags flags = ReadFlags(arguments);

  int exitCode = 0;
  if (!PrepareProcess(&exitCode)) return exitCode;

  StartQuitWatcher(windowed);
  if (!windowed) return RunHeadless(flags);

  MainWindow* window = new MainWindow();
  window->firstRun = flags.firstRun;
  window->RunWindow(!flags.autorun);
  // No loop is left to show a worker's box.
  platform::EndGtkMessageBoxes();

  FreeSharedLists();
  UninstallCrashHandler();
  delete window;  // removes the tray icon, then sets the exit event: a running OpenVPN ends
  EndCallbackWorkers(kCallbackEndMs);
  return 0;
}
