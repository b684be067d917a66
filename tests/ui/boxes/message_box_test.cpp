// A worker's box is shown by the user-interface thread while its loop runs;
// once the loop has ended for good, no worker waits for a box that nobody
// will show.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/message_box.h"
#include "platform/message_box_gtk.h"
#include "x_session.h"

namespace {

// A worker that asks for one box; tells when its call has returned.
class BoxWorker {
 public:
  explicit BoxWorker(const char* text)
      : thread_([this, text] {
          platform::ShowMessageBox("Error", text, platform::MessageIcon::Error);
          std::lock_guard<std::mutex> lock(mutex_);
          returned_ = true;
          changed_.notify_all();
        }) {}
  ~BoxWorker() { thread_.join(); }
  bool WaitReturned(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return returned_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool returned_ = false;
  std::thread thread_;
};

int DialogCount() {
  int n = 0;
  GList* all = gtk_window_list_toplevels();
  for (GList* w = all; w; w = w->next)
    n += GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data));
  g_list_free(all);
  return n;
}

// Answers the first message dialog that shows; it runs inside the dialog's own loop.
gboolean AnswerVisibleDialog(gpointer answered) {
  GList* all = gtk_window_list_toplevels();
  GtkWidget* dialog = nullptr;
  for (GList* w = all; w; w = w->next) {
    if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) dialog = GTK_WIDGET(w->data);
  }
  g_list_free(all);
  if (!dialog) return G_SOURCE_CONTINUE;
  *static_cast<bool*>(answered) = true;
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  return G_SOURCE_REMOVE;
}

// Runs the loop, as the window would, until the worker's call has returned or ms pass.
bool RunLoopUntilReturned(BoxWorker& worker, bool* answered, int ms) {
  guint source = g_timeout_add(20, AnswerVisibleDialog, answered);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  bool returned = false;
  while (!returned && std::chrono::steady_clock::now() < end) {
    g_main_context_iteration(nullptr, FALSE);
    returned = worker.WaitReturned(5);
  }
  if (!*answered) g_source_remove(source);
  return returned;
}

TEST(WorkerBoxes, ShownWhileTheLoopRunsAndNeverAwaitedAfterItEnded) {
  XSession x;
  if (!x.Start(false, false)) GTEST_SKIP() << "needs Xvfb";
  platform::InstallGtkMessageBoxes();

  {
    // The loop runs: the box is shown and the worker waits for the answer.
    BoxWorker worker("shown");
    bool answered = false;
    EXPECT_TRUE(RunLoopUntilReturned(worker, &answered, 10000));
    EXPECT_TRUE(answered);
  }

  testing::internal::CaptureStderr();
  {
    // Asked for while no loop runs, as when the window has just closed.
    BoxWorker worker("never shown");
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_main_context_pending(nullptr) && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(worker.WaitReturned(100));
    platform::EndGtkMessageBoxes();
    EXPECT_TRUE(worker.WaitReturned(5000));
  }
  {
    // Asked for after the end: returns at once.
    BoxWorker worker("after the end");
    EXPECT_TRUE(worker.WaitReturned(5000));
  }
  // Nothing turns up later either.
  for (int i = 0; i < 20; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(DialogCount(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: never shown\nError: after the end\n");
}

}  // namespace
