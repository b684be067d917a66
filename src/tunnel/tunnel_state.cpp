#include "tunnel/tunnel_state.h"

#include "tunnel/controller_view.h"

namespace {

// Every state offers a way on: Connect where no tunnel is wanted, Disconnect
// where one is (and both while the program waits for the network by itself);
// only the two short waits (the service probe, OpenVPN going away) offer
// neither, and both end within a bound.
constexpr StateLook kLooks[kShownStateCount] = {
    /* WaitingForService  */ {TrayRed, "Disconnected", nullptr, nullptr, false, false},
    /* ServiceUnavailable */ {TrayRed, "Disconnected", nullptr, nullptr, true, false},
    /* Disconnecting      */ {TrayYellow, "Disconnecting", "disconnecting", "Disconnecting", false, false},
    /* Disconnected       */ {TrayRed, "Disconnected", "disconnected", "Disconnected", true, false},
    /* Connecting         */ {TrayYellow, "Connecting", "connecting", "Connecting", false, true},
    /* Connected          */ {TrayGreen, "Connected", "connected", "Connected", false, true},
    /* Reconnecting       */ {TrayYellow, "Reconnecting", "connecting", "Connecting", false, true},
    /* WaitingForNetwork  */ {TrayRed, "Waiting for the network", "disconnected", "Disconnected", true, true},
};

}  // namespace

const StateLook& LookOf(ShownState state) {
  const unsigned index = Number(state);
  return kLooks[index < kShownStateCount ? index : Number(ShownState::Disconnected)];
}

const char* NoticeTitle(Notice notice) {
  switch (notice) {
    case Notice::ConnectionLost:
      return "Connection lost";
    case Notice::ConnectionBack:
      return "Connected again";
    case Notice::NextServer:
      return "Changing server";
    case Notice::GaveUp:
      return "Not connected";
  }
  return "Quorvanta";
}

const char* NoticeText(Notice notice) {
  switch (notice) {
    case Notice::ConnectionLost:
      return "The tunnel stopped answering. Reconnecting...";
    case Notice::ConnectionBack:
      return "Your traffic goes through the tunnel again.";
    case Notice::NextServer:
      return "The server went away. Trying the next one.";
    case Notice::GaveUp:
      return "No server could be reached. Trying again by itself.";
  }
  return "";
}
