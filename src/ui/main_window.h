#pragma once
// The main window: the page, the tray, the connection controller and the workers.
#include <cstdint>

#include "runtime/signal.h"
#include <memory>

#include "tunnel/controller_view.h"
#include "tunnel/logging_view.h"
#include "tunnel/tunnel_control.h"
#include "ui/html_control.h"
#include "ui/tray.h"

class MainWindow : public HtmlControl, public Signal, public TrayHost, public ControllerView {
 public:
  // hooks: the controller's reach into the rest of the program (tests replace it).
  explicit MainWindow(ControllerHooks hooks = {});
  ~MainWindow() override;

  bool HandleMessage(const platform::Message& message) override;
  // Creates the window (shown when visible), adds the tray icon, starts the
  // service probe and the management listener, runs the message loop until a
  // close request and destroys the window; returns the request's code.
  int RunWindow(bool visible) override;

  // TrayHost
  void OnTrayIcon(uint32_t mouseMessage, int x, int y) override;
  void OnCommand(uintptr_t id) override;
  void* TrayOwnerWindow() const override { return view().NativeWindow(); }

  // ControllerView
  void CallPageFunction(const char* name, const char* const* args, int count) override;
  void UpdateTrayIcon(ShownState state) override;
  void Display() override;
  void Hide() override;
  void Notify(Notice notice) override;

  ConnectionController& controller() { return tunnel_.controller(); }
  Tray& tray() { return tray_; }

  bool firstRun = false;
  // How long a hidden start waits for a panel to take the tray icon.
  static constexpr unsigned kDockWaitMs = 1500;

 private:
  const char* Connect(int count, const char* const* args);
  const char* Disconnect(int count, const char* const* args);

  // The listener, the probe and the controller; destroying it ends the
  // workers' threads, so none reaches a destroyed object.
  TunnelControl tunnel_;
  Tray tray_;
  // QUORVANTA_UI_LOG=1: every page call and tray state is also a line on
  // standard output, as the headless mode writes them (for tests of a window
  // whose page cannot be seen).
  std::unique_ptr<LoggingView> log_;
  unsigned dockTimer_ = 0;
};
