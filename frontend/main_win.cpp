// quorvanta.exe: the front end on Windows. Its window arrives later; until then
// it runs headless (QUORVANTA_HEADLESS=1), and a start without that says so.
#include <string>

#include "platform/message_box.h"
#include "platform/quit_request.h"
#include "startup.h"

int main(int argc, char** argv) {
  if (HelpRequested(argc, argv)) {
    PrintUsage();
    return 0;
  }
  const std::string arguments = JoinArguments(argc, argv);

  // Crash reporting comes to Windows with the window: nothing to install yet.
  if (!HeadlessRequested()) {
    platform::ShowMessageBox("Quorvanta",
                             "The Quorvanta window is not available on Windows yet. "
                             "Set QUORVANTA_HEADLESS=1 to run without a window.",
                             platform::MessageIcon::Error);
    return 1;
  }
  platform::InitQuitRequest();

  const StartFlags flags = ReadFlags(arguments);

  int exitCode = 0;
  if (!PrepareProcess(&exitCode)) return exitCode;

  StartQuitWatcher(false);
  return RunHeadless(flags);
}
