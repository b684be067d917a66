// Entry point: start-up in a fixed order, the main window's run, shutdown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/shared_state.h"
#include "callback/knocker.h"
#include "config/settings.h"
#include "platform/message_box.h"
#include "platform/message_box_gtk.h"
#include "platform/named_mutex.h"
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

}  // namespace

int main(int argc, char** argv) {
  // The flags come from the arguments as given, before GTK takes its own out.
  const std::string arguments = JoinArguments(argc, argv);

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

  if (!windowed) {
    HeadlessWindow* window = new HeadlessWindow();
    window->firstRun = g_firstRun;
    window->RunWindow(!g_autorun);
    FreeSharedLists();
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
  delete window;  // removes the tray icon, then sets the exit event: a running OpenVPN ends
  EndCallbackWorkers(kCallbackEndMs);
  return 0;
}
