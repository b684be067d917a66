#pragma once
// What the connection controller drives: the page, the tray and the window.
// The window layer implements it; tests record it.
#include <cstdint>

enum TunnelState : uint32_t {
  WaitingForService = 0,
  ServiceUnavailable = 1,
  Disconnecting = 2,
  Disconnected = 3,
  Connecting = 4,
  Connected = 5,
};

// Window messages from the workers to the user-interface thread.
inline constexpr uint32_t WM_SERVICE_STATUS = 2001;
inline constexpr uint32_t WM_TUNNEL_UP = 2002;
inline constexpr uint32_t WM_MGMT_CONNECTED = 2003;
inline constexpr uint32_t WM_MGMT_DISCONNECTED = 2004;
inline constexpr uint32_t WM_MGMT_BYTECOUNT = 2005;

inline constexpr unsigned short ManagementPort = 63782;

class ControllerView {
 public:
  virtual ~ControllerView() = default;
  // Calls the page's script function name with narrow texts; the result is not used.
  virtual void CallPageFunction(const char* name, const char* const* args, int count) = 0;
  virtual void UpdateTrayIcon(TunnelState state) = 0;
  virtual void Display() = 0;
  virtual void Hide() = 0;
};
