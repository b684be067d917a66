#include "platform/message_box_gtk.h"

#include <gtk/gtk.h>

#include <condition_variable>
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
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
};

gboolean RunRequest(gpointer data) {
  Request* request = static_cast<Request*>(data);
  RunDialog(request->caption, request->text, request->icon);
  std::lock_guard<std::mutex> lock(request->mutex);
  request->finished = true;
  request->done.notify_all();
  return G_SOURCE_REMOVE;
}

void ShowGtkBox(const char* caption, const char* text, MessageIcon icon) {
  if (g_thread_self() == g_uiThread) {
    RunDialog(caption, text, icon);
    return;
  }
  // GTK belongs to the user-interface thread: the box is shown there.
  Request request{caption, text, icon, {}, {}, false};
  g_idle_add(RunRequest, &request);
  std::unique_lock<std::mutex> lock(request.mutex);
  request.done.wait(lock, [&] { return request.finished; });
}

}  // namespace

void InstallGtkMessageBoxes() {
  g_uiThread = g_thread_self();
  SetMessageBoxHandler(ShowGtkBox);
}

}  // namespace platform
