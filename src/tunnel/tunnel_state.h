#pragma once
// The connection's states, and what the user is shown in each: one table
// gives the tray's colour and tooltip, the page function and the menu items
// that are offered, so the controller, the tray backends and the page agree.
#include <cstdint>

// The controller's state; the numbers are the ones the logs and tests print.
enum class TunnelState : uint32_t {
  WaitingForService = 0,
  ServiceUnavailable = 1,
  Disconnecting = 2,
  Disconnected = 3,
  Connecting = 4,
  Connected = 5,
};

// What the user sees: the controller's state, Reconnecting while a tunnel
// that was asked for is being brought back (OpenVPN restarting), or
// WaitingForNetwork while Disconnected because no server could be reached.
enum class ShownState : uint32_t {
  WaitingForService = 0,
  ServiceUnavailable = 1,
  Disconnecting = 2,
  Disconnected = 3,
  Connecting = 4,
  Connected = 5,
  Reconnecting = 6,
  // No server could be reached: the program tries again by itself.
  WaitingForNetwork = 7,
};
constexpr int kShownStateCount = 8;

enum TrayColour { TrayRed = 0, TrayYellow = 1, TrayGreen = 2, TrayColourCount = 3 };

struct StateLook {
  TrayColour colour;
  const char* tooltip;
  const char* pageFunction;  // null: the page keeps what it shows
  const char* pageText;
  bool connectOffered;
  bool disconnectOffered;
};

const StateLook& LookOf(ShownState state);

constexpr ShownState Shown(TunnelState state) { return static_cast<ShownState>(state); }
constexpr unsigned Number(TunnelState state) { return static_cast<unsigned>(state); }
constexpr unsigned Number(ShownState state) { return static_cast<unsigned>(state); }
