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

  char text[1536] = {};
  if (!InstallCrashReporting(text, sizeof text)) {
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
