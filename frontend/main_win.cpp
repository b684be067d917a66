// quorvanta.exe: the front end on Windows, a GUI-subsystem program. Start-up
// in a fixed order, the main window's run, shutdown.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "callback/knocker.h"
#include "crash/crash_report.h"
#include "platform/message_box.h"
#include "platform/console.h"
#include "platform/quit_request.h"
#include "runtime/shared_state.h"
#include "startup.h"
#include "ui/main_window.h"

namespace {

// The argument text as the system hands it to the program, narrowed: the
// flags are ASCII, and a character outside it matches none of them.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (const wchar_t* p = text; p && *p; ++p) narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
  return narrow;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  const bool headless = HeadlessRequested();
  if (HelpRequested(__argc, __argv)) {
    platform::UseParentConsole();
    PrintUsage(
        "  QUORVANTA_PIPE      the tunnel service's pipe (default \\\\.\\pipe\\QuorvantaPipe)\n"
        "  QUORVANTA_UI_LOG    1: the window's page calls and tray states on standard output too\n"
        "Settings:\n"
        "  HKLM\\SOFTWARE\\Quorvanta   the base folder, and config_dir: the folder of data.vpn\n"
        "The tunnel service (QuorvantaTunnel) logs to the Application event log.\n");
    return 0;
  }
  if (headless) platform::UseParentConsole();
  const std::string arguments = Narrow(commandLine);

  char text[1536] = {};
  if (!InstallCrashReporting(text, sizeof text)) {
    std::printf("%s\n", text);
    std::fflush(stdout);
    platform::ShowMessageBox("Error", text, platform::MessageIcon::Error);
    return 1;
  }
  // Early exits below leave no sender waiting on a block of this run.
  std::atexit([] { UninstallCrashHandler(); });
  platform::InitQuitRequest();

  const StartFlags flags = ReadFlags(arguments);

  int exitCode = 0;
  if (!PrepareProcess(&exitCode)) return exitCode;

  StartQuitWatcher(!headless);
  if (headless) return RunHeadless(flags);

  MainWindow* window = new MainWindow();
  window->firstRun = flags.firstRun;
  window->RunWindow(!flags.autorun);

  FreeSharedLists();
  UninstallCrashHandler();
  delete window;  // removes the tray icon, then sets the exit event: a running OpenVPN ends
  EndCallbackWorkers(kCallbackEndMs);
  return 0;
}
