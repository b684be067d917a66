#include "ui/headless_window.h"

#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <cstring>

#include "platform/message_queue.h"
#include "platform/thread.h"

namespace {

// Commands of the headless stand-in, queued behind the workers' messages.
constexpr uint32_t kCommandConnect = kHeadlessConnect;
constexpr uint32_t kCommandDisconnect = kHeadlessDisconnect;
constexpr uint32_t kCommandQuit = HeadlessWindow::kQuitMessage;

// Turns standard-input lines into commands; ends quietly at end of input.
void ReadCommands(void*) {
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (std::strcmp(line, "connect") == 0) {
      platform::UiQueue().Post(kCommandConnect, 0, 0);
    } else if (std::strcmp(line, "disconnect") == 0) {
      platform::UiQueue().Post(kCommandDisconnect, 0, 0);
    } else if (std::strcmp(line, "quit") == 0) {
      platform::UiQueue().Post(kCommandQuit, 0, 0);
    }
  }
}

}  // namespace

HeadlessWindow::HeadlessWindow() : view_(stdout), tunnel_(view_, *this) {}

HeadlessWindow::~HeadlessWindow() = default;

int HeadlessWindow::RunWindow(bool) {
  tunnel_.controller().firstRun = firstRun;
  tunnel_.Start(&platform::UiQueue());
  // The listener's diagnostics end without a line feed; end their line so
  // every line of the log that follows starts clean.
  tunnel_.server().WaitListening();
  std::fputs("\n", stdout);
  std::fflush(stdout);
  platform::StartDetachedThread(&ReadCommands, nullptr);
  // A GLib loop, as with a window, so the controller's timers run here too.
  loop_ = g_main_loop_new(nullptr, FALSE);
  guint source = g_unix_fd_add(
      platform::UiQueue().WakeHandle(), G_IO_IN,
      +[](gint, GIOCondition, gpointer self) -> gboolean {
        static_cast<HeadlessWindow*>(self)->DrainMessages();
        return G_SOURCE_CONTINUE;
      },
      this);
  g_main_loop_run(static_cast<GMainLoop*>(loop_));
  g_source_remove(source);
  g_main_loop_unref(static_cast<GMainLoop*>(loop_));
  loop_ = nullptr;
  return 0;
}

void HeadlessWindow::DrainMessages() {
  platform::Message message;
  while (loop_ != nullptr && platform::UiQueue().TryTake(&message)) {
    if (tunnel_.HandleMessage(message)) continue;
    switch (message.id) {
      case kCommandConnect:
        tunnel_.controller().Connect();
        break;
      case kCommandDisconnect:
        tunnel_.controller().Disconnect();
        break;
      case kCommandQuit:
        g_main_loop_quit(static_cast<GMainLoop*>(loop_));
        return;
      default:
        break;
    }
  }
}
