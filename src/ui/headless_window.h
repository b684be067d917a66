#pragma once
// The program without a display (QUORVANTA_HEADLESS=1, or no display to open):
// the controller runs with a LoggingView (page calls and tray states on
// standard output), and lines on standard input stand for the page's buttons
// and the tray's exit item: "connect", "disconnect", "quit".
#include <cstdint>

#include "platform/message_queue.h"
#include "runtime/signal.h"
#include "runtime/ui_messages.h"
#include "runtime/well_known.h"
#include "tunnel/logging_view.h"
#include "tunnel/tunnel_control.h"

class HeadlessWindow : public Signal {
 public:
  HeadlessWindow();
  ~HeadlessWindow();

  // Starts the workers and runs the message loop until "quit"; returns 0.
  int RunWindow(bool visible);

  bool firstRun = false;

  // Ends the loop as the "quit" line does.
  static constexpr uint32_t kQuitMessage = msg::HeadlessQuit;

 private:
  void Receive(const platform::Message& message);

  LoggingView view_;
  TunnelControl tunnel_;
};
