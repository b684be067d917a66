#include "platform/ui_loop.h"

#include <glib-unix.h>
#include <glib.h>

namespace platform {

namespace {

// Touched only by the user-interface thread.
GMainLoop* g_loop = nullptr;
bool g_quit = false;

struct Receiver {
  MessageReceiver receive;
  void* context;
  intptr_t last;
};

gboolean OnQueueReadable(gint, GIOCondition, gpointer data) {
  auto* receiver = static_cast<Receiver*>(data);
  // A bounded batch per wake-up keeps the window responsive under a burst;
  // the descriptor stays readable while messages are left.
  Message message;
  for (int i = 0; i < 64 && !g_quit && UiQueue().TryTake(&message); ++i) {
    receiver->last = static_cast<intptr_t>(message.wParam);
    receiver->receive(message, receiver->context);
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

// A GLib loop, the one GTK's windows and the UI timers run on too.
intptr_t RunUiLoop(MessageReceiver receive, void* context) {
  Receiver receiver{receive, context, 0};
  g_quit = false;
  GMainLoop* outer = g_loop;
  g_loop = g_main_loop_new(nullptr, FALSE);
  guint source = g_unix_fd_add(UiQueue().WakeHandle(), G_IO_IN, &OnQueueReadable, &receiver);
  g_main_loop_run(g_loop);
  g_source_remove(source);
  g_main_loop_unref(g_loop);
  g_loop = outer;
  g_quit = false;
  return receiver.last;
}

void QuitUiLoop() {
  g_quit = true;
  if (g_loop) g_main_loop_quit(g_loop);
}

// GTK hands key presses to the focused view itself.
void SetUiKeyWindow(void*) {}

}  // namespace platform
