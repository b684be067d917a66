#include "platform/message_box_gtk.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>

#include "platform/message_box.h"

namespace platform {

namespace {

GThread* g_uiThread = nullptr;

void RunDialog(const char* caption, const char* text, MessageIcon icon) {
  // No owner window; the dialog comes to the front on its own.
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                             icon == MessageIcon::Error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_OK, "%s", text);
  gtk_window_set_title(GTK_WINDOW(dialog), caption);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);  // Enter closes it
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

struct Request {
  const char* caption;
  const char* text;
  MessageIcon icon;
  guint source = 0;
  bool finished = false;
  bool shown = false;  // false: the loop ended before it could show the box
};

// The boxes waiting for the user-interface thread, and whether it still runs
// its loop. Never destroyed: a worker may ask for a box while the process exits.
struct Boxes {
  std::mutex mutex;
  std::condition_variable done;
  std::list<Request*> pending;
  bool ended = false;
};

Boxes& TheBoxes() {
  static Boxes* boxes = new Boxes();
  return *boxes;
}

gboolean RunRequest(gpointer data) {
  Request* request = static_cast<Request*>(data);
  Boxes& boxes = TheBoxes();
  {
    std::lock_guard<std::mutex> lock(boxes.mutex);
    request->source = 0;
  }
  RunDialog(request->caption, request->text, request->icon);
  std::lock_guard<std::mutex> lock(boxes.mutex);
  request->finished = true;
  request->shown = true;
  boxes.pending.remove(request);
  boxes.done.notify_all();
  return G_SOURCE_REMOVE;
}

void ShowGtkBox(const char* caption, const char* text, MessageIcon icon) {
  if (g_thread_self() == g_uiThread) {
    RunDialog(caption, text, icon);
    return;
  }
  // GTK belongs to the user-interface thread: the box is shown there.
  Boxes& boxes = TheBoxes();
  Request request{caption, text, icon};
  {
    std::unique_lock<std::mutex> lock(boxes.mutex);
    if (!boxes.ended) {
      boxes.pending.push_back(&request);
      request.source = g_idle_add(RunRequest, &request);
      boxes.done.wait(lock, [&] { return request.finished; });
    }
  }
  // Nobody is left to show it: the text still reaches the user's log.
  if (!request.shown) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
  }
}

}  // namespace

void InstallGtkMessageBoxes() {
  g_uiThread = g_thread_self();
  SetMessageBoxHandler(ShowGtkBox);
}

void EndGtkMessageBoxes() {
  Boxes& boxes = TheBoxes();
  std::lock_guard<std::mutex> lock(boxes.mutex);
  boxes.ended = true;
  // Boxes still waiting will never be shown: release their workers.
  for (Request* request : boxes.pending) {
    if (request->source) g_source_remove(request->source);
    request->source = 0;
    request->finished = true;
  }
  boxes.pending.clear();
  boxes.done.notify_all();
}

}  // namespace platform
