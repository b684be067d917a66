#include "tunnel/connection_controller.h"

#include <cstdio>

#include "runtime/shared_state.h"
#include "platform/message_box.h"
#include "platform/ui_timer.h"
#include "profile/profile.h"
#include "profile/profile_update.h"
#include "runtime/ui_messages.h"
#include "tunnel/service_request.h"

void FormatTraffic(uint32_t value, char* out, size_t size) {
  if (value < 1000) {
    std::snprintf(out, size, "%lu Bytes", static_cast<unsigned long>(value));
  } else if (value < 1000000) {
    std::snprintf(out, size, "%lu kB", static_cast<unsigned long>(value / 1000));
  } else {
    std::snprintf(out, size, "%lu MB", static_cast<unsigned long>(value / 1000000));
  }
}

const char* const kManagementPortTakenText =
    "Port 63782 on 127.0.0.1 is taken: another program holds it, so Quorvanta cannot watch the "
    "connection and will not connect. Close that program and start Quorvanta again.";

ConnectionController::ConnectionController(ControllerView& view, Signal& signal,
                                           ControllerHooks hooks)
    : view_(view), signal_(signal), hooks_(std::move(hooks)) {
  if (!hooks_.loadProfile) hooks_.loadProfile = LoadProfileIntoSharedLists;
  if (!hooks_.startTunnel) hooks_.startTunnel = [this] { return StartTunnel(signal_); };
  if (!hooks_.startDelayedServerListUpdate) {
    hooks_.startDelayedServerListUpdate = StartDelayedServerListUpdate;
  }
  if (!hooks_.startKnocker) hooks_.startKnocker = [this] { knocker_.Start(); };
  if (!hooks_.startOpenInstalled) hooks_.startOpenInstalled = [this] { openInstalled_.Start(); };
  if (!hooks_.startTimer) hooks_.startTimer = platform::StartUiTimer;
  if (!hooks_.cancelTimer) hooks_.cancelTimer = platform::CancelUiTimer;
}

ConnectionController::~ConnectionController() {
  CancelFailover();
  CancelStartWait();
}

void ConnectionController::CancelStartWait() {
  if (startTimer_ == 0) return;
  hooks_.cancelTimer(startTimer_);
  startTimer_ = 0;
}

bool ConnectionController::RequestTunnel() {
  CancelStartWait();
  if (!hooks_.startTunnel()) return false;
  if (hooks_.managementWaitMs != 0)
    startTimer_ = hooks_.startTimer(hooks_.managementWaitMs, [this] { OnStartOverdue(); });
  return true;
}

// No management connection came: OpenVPN is missing, ended at once or refused
// its options. That is a lost connection, though no OpenVPN ever called.
void ConnectionController::OnStartOverdue() {
  startTimer_ = 0;
  if (state_ != Connecting || failoverTimer_ != 0) return;
  // Nothing else would stop an OpenVPN that hangs in its start once the list has ended.
  OnFailoverDue(/*stopHungStart=*/true);
}

// True when a failover was waiting; it will not fire any more.
bool ConnectionController::CancelFailover() {
  if (failoverTimer_ == 0) return false;
  hooks_.cancelTimer(failoverTimer_);
  failoverTimer_ = 0;
  return true;
}

bool ConnectionController::HandleMessage(const platform::Message& message) {
  switch (message.id) {
    case msg::WM_SERVICE_STATUS:
      OnServiceStatus(message.wParam);
      return true;
    case msg::WM_TUNNEL_UP:
      OnTunnelUp();
      return true;
    case msg::WM_MGMT_CONNECTED:
      OnManagementConnected();
      return true;
    case msg::WM_MGMT_DISCONNECTED:
      OnManagementDisconnected();
      return true;
    case msg::WM_MGMT_BYTECOUNT:
      OnTraffic(static_cast<uint32_t>(message.wParam), static_cast<uint32_t>(message.lParam));
      return true;
    default:
      return false;
  }
}

void ConnectionController::CallPage(const char* name, const char* text) {
  const char* args[] = {text};
  view_.CallPageFunction(name, args, 1);
}

const char* ConnectionController::Connect() {
  if (hooks_.managementListening && !hooks_.managementListening()) {
    platform::ShowMessageBox("Quorvanta", kManagementPortTakenText, platform::MessageIcon::Error);
    state_ = Disconnected;
    view_.UpdateTrayIcon(state_);
    return nullptr;
  }
  if (hooks_.loadProfile(ProfilePath) != 0) {
    platform::ShowMessageBox("Quorvanta", "data.vpn file not found or data corrupted",
                             platform::MessageIcon::None);
    return nullptr;
  }
  // This request replaces the one a pending failover would have made.
  CancelFailover();
  state_ = RequestTunnel() ? Connecting : Disconnected;
  view_.UpdateTrayIcon(state_);
  return "ok";
}

const char* ConnectionController::Disconnect() {
  CancelStartWait();
  const bool waiting = CancelFailover();
  state_ = Disconnecting;
  CallPage("disconnecting", "Disconnecting");
  signal_.Set();
  // During a failover wait no OpenVPN runs, so no lost connection will come to end the disconnect.
  if (waiting) {
    state_ = Disconnected;
    CallPage("disconnected", "Disconnected");
  }
  view_.UpdateTrayIcon(state_);
  return "ok";
}

void ConnectionController::OnServiceStatus(uintptr_t status) {
  if (status == 0) {
    state_ = ServiceUnavailable;
  } else if (status == 1) {
    Connect();
  }
}

void ConnectionController::OnManagementConnected() {
  CancelStartWait();
  CallPage("connecting", "Connecting");
}

void ConnectionController::OnTunnelUp() {
  CallPage("connected", "Connected");
  state_ = Connected;
  view_.UpdateTrayIcon(state_);
  hooks_.startDelayedServerListUpdate(ProfilePath);
  hooks_.startKnocker();
  if (firstRun) {
    hooks_.startOpenInstalled();
    view_.Hide();
    firstRun = false;
  }
}

void ConnectionController::OnManagementDisconnected() {
  if (state_ == Connected || state_ == Connecting) {
    // Give the service time to see the old OpenVPN go before the next request;
    // the window keeps handling clicks meanwhile, and a Disconnect cancels it.
    if (failoverTimer_ == 0)
      failoverTimer_ = hooks_.startTimer(hooks_.failoverWaitMs, [this] { OnFailoverDue(); });
    if (failoverTimer_ != 0) return;
    OnFailoverDue();  // no timer could be made: fail over at once rather than never
    return;
  }
  if (state_ == Disconnecting) {
    state_ = Disconnected;
    CallPage("disconnected", "Disconnected");
  }
  view_.UpdateTrayIcon(state_);
}

void ConnectionController::OnFailoverDue(bool stopHungStart) {
  failoverTimer_ = 0;
  if (state_ == Connected || state_ == Connecting) {
    if (RequestTunnel()) {
      state_ = Connecting;
    } else {
      if (stopHungStart) signal_.Set();
      state_ = Disconnected;
      view_.Display();
      CallPage("disconnected", "Disconnected");
    }
  }
  view_.UpdateTrayIcon(state_);
}

void ConnectionController::OnTraffic(uint32_t received, uint32_t sent) {
  char in[64];
  char out[64];
  FormatTraffic(received, in, sizeof in);
  FormatTraffic(sent, out, sizeof out);
  if (state_ != Connected) return;
  const char* args[] = {in, out};
  view_.CallPageFunction("updateTraffic", args, 2);
}
