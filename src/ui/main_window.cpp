#include "ui/main_window.h"

#include "platform/message_queue.h"

// Headless stand-in until the window exists: runs the message loop, which
// nothing ends but the process's termination.
MainWindow::MainWindow() = default;
MainWindow::~MainWindow() = default;

int MainWindow::RunWindow(bool) {
  platform::Message message;
  while (platform::UiQueue().WaitTake(&message, -1)) {
  }
  return 0;
}
