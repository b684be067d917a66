#include "tunnel/connection_controller.h"

#include <cstdio>

#include "runtime/shared_state.h"
#include "platform/message_box.h"
#include "platform/ui_timer.h"
#include "profile/profile.h"
#include "profile/profile_update.h"
#include "runtime/ui_messages.h"
#include "tunnel/service_request.h"

void FormatTraffic(uint64_t value, char* out, size_t size) {
  if (value < 1000) {
    std::snprintf(out, size, "%llu Bytes", static_cast<unsigned long long>(value));
  } else if (value < 1000000) {
    std::snprintf(out, size, "%llu kB", static_cast<unsigned long long>(value / 1000));
  } else {
    std::snprintf(out, size, "%llu MB", static_cast<unsigned long long>(value / 1000000));
  }
}

const char* const kManagementPortTakenText =
    "Port 63782 on 127.0.0.1 is taken: another program holds it, so Quorvanta cannot watch the "
    "connection and will not connect. Close that program and start Quorvanta again.";

ConnectionController::ConnectionController(ControllerView& view, Signal& signal, ControllerHooks hooks)
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
  CancelDisconnectWait();
  CancelCounterWatch();
  CancelNetworkWait();
}

void ConnectionController::CancelNetworkWait() {
  waitingForNetwork_ = false;
  retrying_ = false;
  retryWaitMs_ = 0;
  if (retryTimer_ == 0) return;
  hooks_.cancelTimer(retryTimer_);
  retryTimer_ = 0;
}

void ConnectionController::WaitForNetwork() {
  waitingForNetwork_ = hooks_.retryFirstMs != 0;
  if (!waitingForNetwork_) return;
  retryWaitMs_ = retryWaitMs_ == 0 ? hooks_.retryFirstMs
                                   : (retryWaitMs_ >= hooks_.retryMaxMs / 2 ? hooks_.retryMaxMs : retryWaitMs_ * 2);
  if (retryTimer_ != 0) hooks_.cancelTimer(retryTimer_);
  retryTimer_ = hooks_.startTimer(retryWaitMs_, [this] {
    retryTimer_ = 0;
    OnRetryDue();
  });
}

// A round of its own: the profile read again, then the list from its start.
void ConnectionController::OnRetryDue() {
  if (!waitingForNetwork_ || state_ != TunnelState::Disconnected) return;
  if (retryTimer_ != 0) {
    hooks_.cancelTimer(retryTimer_);
    retryTimer_ = 0;
  }
  if (hooks_.loadProfile(ProfilePath) != 0 || !RequestTunnel()) {
    WaitForNetwork();  // nothing to ask for yet: the next round, later
    ShowTray();
    return;
  }
  waitingForNetwork_ = false;
  retrying_ = true;
  state_ = TunnelState::Connecting;
  ShowPage(ShownState::Connecting);
  ShowTray();
}

void ConnectionController::CancelCounterWatch() {
  silent_ = false;
  if (counterTimer_ == 0) return;
  hooks_.cancelTimer(counterTimer_);
  counterTimer_ = 0;
}

void ConnectionController::WatchCounters() {
  if (counterTimer_ != 0) {
    hooks_.cancelTimer(counterTimer_);
    counterTimer_ = 0;
  }
  if (hooks_.counterSilenceMs == 0 || state_ != TunnelState::Connected) return;
  counterTimer_ = hooks_.startTimer(hooks_.counterSilenceMs, [this] {
    counterTimer_ = 0;
    OnCountersSilent();
  });
}

void ConnectionController::OnCountersSilent() {
  if (state_ != TunnelState::Connected || !managementUp_) return;
  OnReconnecting(msg::ReconnectOther);
  silent_ = true;
}

ShownState ConnectionController::shown() const {
  if (state_ == TunnelState::Connecting && reconnecting_) return ShownState::Reconnecting;
  if (state_ == TunnelState::Disconnected && waitingForNetwork_) return ShownState::WaitingForNetwork;
  return Shown(state_);
}

void ConnectionController::CancelStartWait() {
  if (startTimer_ == 0) return;
  hooks_.cancelTimer(startTimer_);
  startTimer_ = 0;
}

void ConnectionController::CancelDisconnectWait() {
  if (disconnectTimer_ == 0) return;
  hooks_.cancelTimer(disconnectTimer_);
  disconnectTimer_ = 0;
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
  if (state_ != TunnelState::Connecting || failoverTimer_ != 0) return;
  // Nothing else would stop an OpenVPN that hangs in its start once the list has ended.
  OnFailoverDue();
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
      OnTraffic(static_cast<uint64_t>(message.wParam), static_cast<uint64_t>(message.lParam));
      return true;
    case msg::WM_TUNNEL_RECONNECTING:
      OnReconnecting(message.wParam);
      return true;
    case msg::WM_NETWORK_CHANGED:
      OnNetworkChanged(message.wParam);
      return true;
    default:
      return false;
  }
}

void ConnectionController::CallPage(const char* name, const char* text) {
  const char* args[] = {text};
  view_.CallPageFunction(name, args, 1);
}

void ConnectionController::ShowPage(ShownState state) {
  const StateLook& look = LookOf(state);
  if (look.pageFunction) CallPage(look.pageFunction, look.pageText);
}

void ConnectionController::ShowTray() { view_.UpdateTrayIcon(shown()); }

void ConnectionController::ToDisconnected() {
  CancelDisconnectWait();
  reconnecting_ = false;
  state_ = TunnelState::Disconnected;
  ShowPage(ShownState::Disconnected);
}

const char* ConnectionController::Connect() {
  if (hooks_.managementListening && !hooks_.managementListening()) {
    platform::ShowMessageBox("Quorvanta", kManagementPortTakenText, platform::MessageIcon::Error);
    state_ = TunnelState::Disconnected;
    reconnecting_ = false;
    ShowTray();
    return nullptr;
  }
  if (hooks_.loadProfile(ProfilePath) != 0) {
    platform::ShowMessageBox("Quorvanta", "data.vpn file not found or data corrupted", platform::MessageIcon::None);
    return nullptr;
  }
  // This request replaces the one a pending failover would have made.
  CancelFailover();
  CancelDisconnectWait();
  CancelCounterWatch();
  CancelNetworkWait();
  reconnecting_ = false;
  everConnected_ = false;
  state_ = RequestTunnel() ? TunnelState::Connecting : TunnelState::Disconnected;
  ShowTray();
  return "ok";
}

const char* ConnectionController::Disconnect() {
  CancelStartWait();
  CancelFailover();
  CancelCounterWatch();
  CancelNetworkWait();
  reconnecting_ = false;
  everConnected_ = false;
  state_ = TunnelState::Disconnecting;
  ShowPage(ShownState::Disconnecting);
  signal_.Set();
  if (!managementUp_) {
    // No OpenVPN holds the connection (the failover wait, a start that has not
    // called in, nothing running): no lost connection will come to end this.
    ToDisconnected();
  } else if (hooks_.disconnectWaitMs != 0 && disconnectTimer_ == 0) {
    disconnectTimer_ = hooks_.startTimer(hooks_.disconnectWaitMs, [this] {
      disconnectTimer_ = 0;
      if (state_ != TunnelState::Disconnecting) return;
      ToDisconnected();
      ShowTray();
    });
  }
  ShowTray();
  return "ok";
}

void ConnectionController::OnServiceStatus(uintptr_t status) {
  if (status == 0) {
    state_ = TunnelState::ServiceUnavailable;
  } else if (status == 1) {
    Connect();
  }
}

void ConnectionController::OnManagementConnected() {
  CancelStartWait();
  managementUp_ = true;
  tunnelSeen_ = false;
  // An OpenVPN told to stop may still call in; it is no connecting tunnel.
  if (state_ != TunnelState::Disconnecting && state_ != TunnelState::Disconnected) ShowPage(ShownState::Connecting);
}

void ConnectionController::OnTunnelUp() {
  // A tunnel the user has just let go is not shown as up while it goes away.
  if (state_ == TunnelState::Disconnecting || state_ == TunnelState::Disconnected) return;
  // Back by itself: after a reconnect, or a round of its own after the list ran out.
  const bool back = (reconnecting_ && everConnected_) || retrying_;
  ShowPage(ShownState::Connected);
  state_ = TunnelState::Connected;
  reconnecting_ = false;
  silent_ = false;
  retrying_ = false;
  retryWaitMs_ = 0;
  everConnected_ = true;
  ShowTray();
  WatchCounters();
  if (back) view_.Notify(Notice::ConnectionBack);
  // Once per tunnel: OpenVPN's own restarts inside it bring it up again.
  if (!tunnelSeen_) {
    tunnelSeen_ = true;
    hooks_.startDelayedServerListUpdate(ProfilePath);
    hooks_.startKnocker();
  }
  if (firstRun) {
    hooks_.startOpenInstalled();
    view_.Hide();
    firstRun = false;
  }
}

void ConnectionController::OnReconnecting(uintptr_t) {
  if (state_ != TunnelState::Connected && state_ != TunnelState::Connecting) return;
  // OpenVPN's own word replaces a guess from its silence.
  silent_ = false;
  if (reconnecting_) return;
  const bool wasUp = state_ == TunnelState::Connected;
  state_ = TunnelState::Connecting;
  reconnecting_ = true;
  ShowPage(ShownState::Reconnecting);
  ShowTray();
  if (wasUp) view_.Notify(Notice::ConnectionLost);
}

void ConnectionController::OnNetworkChanged(uintptr_t) {
  // The network that was missing may be back: the next round now.
  if (waitingForNetwork_) {
    OnRetryDue();
    return;
  }
  // Only a tunnel that an OpenVPN holds can be restarted; a failover or a
  // start under way picks the new network up by itself.
  if (!managementUp_ || !hooks_.restartTunnel) return;
  if (state_ != TunnelState::Connected && state_ != TunnelState::Connecting) return;
  hooks_.restartTunnel();
  OnReconnecting(msg::ReconnectAsked);
}

void ConnectionController::OnManagementDisconnected() {
  managementUp_ = false;
  CancelCounterWatch();
  if (state_ == TunnelState::Connected || state_ == TunnelState::Connecting) {
    // The tunnel and its routes went with OpenVPN: whatever comes next, it is not up.
    if (state_ == TunnelState::Connected || reconnecting_) {
      state_ = TunnelState::Connecting;
      reconnecting_ = false;
      ShowPage(ShownState::Connecting);
      ShowTray();
    }
    // Give the service time to see the old OpenVPN go before the next request;
    // the window keeps handling clicks meanwhile, and a Disconnect cancels it.
    if (failoverTimer_ == 0) failoverTimer_ = hooks_.startTimer(hooks_.failoverWaitMs, [this] { OnFailoverDue(); });
    if (failoverTimer_ != 0) return;
    OnFailoverDue();  // no timer could be made: fail over at once rather than never
    return;
  }
  if (state_ == TunnelState::Disconnecting) ToDisconnected();
  ShowTray();
}

void ConnectionController::OnFailoverDue() {
  failoverTimer_ = 0;
  if (state_ == TunnelState::Connected || state_ == TunnelState::Connecting) {
    if (RequestTunnel()) {
      state_ = TunnelState::Connecting;
      // The rounds of its own while the network is away are no news to the user.
      if (!retrying_) view_.Notify(Notice::NextServer);
    } else {
      // The list ran out: the session is given up (a hung start ends with it),
      // so the service lifts its block until the next round asks again.
      signal_.Set();
      state_ = TunnelState::Disconnected;
      reconnecting_ = false;
      const bool firstTime = !retrying_;
      retrying_ = false;
      if (firstTime) {
        // Told while the window is still hidden: the window that comes up may be behind others.
        view_.Notify(Notice::GaveUp);
        view_.Display();
      }
      ShowPage(ShownState::Disconnected);
      WaitForNetwork();
    }
  }
  ShowTray();
}

void ConnectionController::OnTraffic(uint64_t received, uint64_t sent) {
  char in[64];
  char out[64];
  FormatTraffic(received, in, sizeof in);
  FormatTraffic(sent, out, sizeof out);
  if (silent_ && state_ == TunnelState::Connecting) {
    // OpenVPN speaks again after a silence (stopped, the machine asleep): the
    // server may have dropped its tunnel meanwhile, so it is made anew, as after a resume.
    silent_ = false;
    if (managementUp_ && hooks_.restartTunnel) hooks_.restartTunnel();
    return;
  }
  if (state_ != TunnelState::Connected) return;
  WatchCounters();
  const char* args[] = {in, out};
  view_.CallPageFunction("updateTraffic", args, 2);
}
