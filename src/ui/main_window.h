#pragma once
// The main window: the page, the tray, the connection controller and the workers.
// Until the real window lands this is the headless stand-in: the controller
// runs with a LoggingView (page calls and tray states on standard output),
// and lines on standard input stand for the page's buttons and the tray's
// exit item: "connect", "disconnect", "quit".
#include "app/signal.h"
#include "tunnel/logging_view.h"
#include "tunnel/tunnel_control.h"

class MainWindow : public Signal {
 public:
  MainWindow();
  ~MainWindow();

  // Creates the window (shown when visible), starts the workers and runs the
  // message loop until the user exits; returns the loop's code.
  int RunWindow(bool visible);

  bool firstRun = false;

 private:
  LoggingView view_;
  TunnelControl tunnel_;
};
