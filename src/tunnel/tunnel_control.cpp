#include "tunnel/tunnel_control.h"

#include <utility>

TunnelControl::TunnelControl(ControllerView& view, Signal& signal, ControllerHooks hooks)
    : controller_(view, signal, std::move(hooks)) {
  server_.SetPort(ManagementPort);
}

void TunnelControl::Start(platform::MessageQueue* queue) {
  init_.SetNotifyWindow(queue);
  init_.Start();
  server_.SetNotifyWindow(queue);
  server_.Start();
}
