#pragma once
// Everything the main window owns for tunnel control, in one object: the
// management listener, the service probe and the connection controller (with
// its Knocker and OpenInstalled workers). The window supplies the Signal (its
// base) and a ControllerView, and keeps this object for the life of the process.
//
// Use from the main window:
//   TunnelControl tunnel(view, *this);           // member, built with the window
//   tunnel.controller().firstRun = firstRun;      // before running
//   tunnel.Start(&platform::UiQueue());           // once the window exists
//   on every queued message: tunnel.HandleMessage(message)  (true: it was 2001..2005)
//   page "Connect"/"Disconnect", tray items: tunnel.controller().Connect()/Disconnect()
// Workers are never stopped: they end with the process.
#include <cstdint>

#include "runtime/signal.h"
#include "platform/message_queue.h"
#include "platform/network_watch.h"
#include "tunnel/connection_controller.h"
#include "tunnel/service_request.h"
#include "tunnel/tcp_server.h"

class TunnelControl {
 public:
  TunnelControl(ControllerView& view, Signal& signal, ControllerHooks hooks = {});

  // Starts the service probe and then the management listener, both posting
  // to queue, and the watch on the network (on the calling, user-interface, thread).
  void Start(platform::MessageQueue* queue);
  bool HandleMessage(const platform::Message& message) { return controller_.HandleMessage(message); }

  ConnectionController& controller() { return controller_; }
  TcpServer& server() { return server_; }
  Init& init() { return init_; }

 private:
  TcpServer server_;
  Init init_;
  // Resume and route changes, posted as WM_NETWORK_CHANGED.
  platform::NetworkWatch network_;
  ConnectionController controller_;
};
