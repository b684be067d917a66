#include "tunnel/tunnel_control.h"

#include <utility>

#include "runtime/ui_messages.h"

namespace {

ControllerHooks WithListenerCheck(ControllerHooks hooks, TcpServer* server) {
  if (!hooks.managementListening) hooks.managementListening = [server] { return server->WaitListening() != 0; };
  if (!hooks.restartTunnel) hooks.restartTunnel = [server] { server->RequestRestart(); };
  return hooks;
}

}  // namespace

TunnelControl::TunnelControl(ControllerView& view, Signal& signal, ControllerHooks hooks)
    : controller_(view, signal, WithListenerCheck(std::move(hooks), &server_)) {
  server_.SetPort(ManagementPort);
}

void TunnelControl::Start(platform::MessageQueue* queue) {
  init_.SetNotifyWindow(queue);
  init_.Start();
  server_.SetNotifyWindow(queue);
  server_.Start();
  network_.Start([queue](platform::NetworkEvent event) {
    queue->Post(msg::WM_NETWORK_CHANGED,
                event == platform::NetworkEvent::Resumed ? msg::NetworkResumed : msg::NetworkRouteChanged, 0);
  });
}
