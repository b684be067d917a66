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
};

gboolean OnQueueReadable(gint, GIOCondition, gpointer data) {
  const auto* receiver = static_cast<const Receiver*>(data);
  Message message;
  while (!g_quit && UiQueue().TryTake(&message)) receiver->receive(message, receiver->context);
  return G_SOURCE_CONTINUE;
}

}  // namespace

// A GLib loop, as under a window, so the UI timers run here too.
void RunUiLoop(MessageReceiver receive, void* context) {
  Receiver receiver{receive, context};
  g_quit = false;
  g_loop = g_main_loop_new(nullptr, FALSE);
  guint source = g_unix_fd_add(UiQueue().WakeHandle(), G_IO_IN, &OnQueueReadable, &receiver);
  g_main_loop_run(g_loop);
  g_source_remove(source);
  g_main_loop_unref(g_loop);
  g_loop = nullptr;
}

void QuitUiLoop() {
  g_quit = true;
  if (g_loop) g_main_loop_quit(g_loop);
}

}  // namespace platform
