#pragma once
// The main window: the page, the tray, the connection controller and the workers.
#include "app/signal.h"

class MainWindow : public Signal {
 public:
  MainWindow();
  ~MainWindow();

  // Creates the window (shown when visible), starts the workers and runs the
  // message loop until the user exits; returns the loop's code.
  int RunWindow(bool visible);

  bool firstRun = false;
};
