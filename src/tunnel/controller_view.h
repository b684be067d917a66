#pragma once
// What the connection controller drives: the page, the tray and the window.
// The window layer implements it; tests record it.
#include <cstdint>

#include "runtime/well_known.h"

enum TunnelState : uint32_t {
  WaitingForService = 0,
  ServiceUnavailable = 1,
  Disconnecting = 2,
  Disconnected = 3,
  Connecting = 4,
  Connected = 5,
};


class ControllerView {
 public:
  virtual ~ControllerView() = default;
  // Calls the page's script function name with narrow texts; the result is not used.
  virtual void CallPageFunction(const char* name, const char* const* args, int count) = 0;
  virtual void UpdateTrayIcon(TunnelState state) = 0;
  virtual void Display() = 0;
  virtual void Hide() = 0;
};
