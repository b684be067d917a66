#pragma once
// The connection controller: keeps the tunnel state, turns the workers'
// messages and the user's Connect/Disconnect into tunnel requests and exit
// signals, walks to the next server when OpenVPN goes away, and keeps the
// page, the tray and the window up to date through ControllerView.
// Everything here runs on the user-interface thread.
#include <functional>

#include "runtime/signal.h"
#include "callback/knocker.h"
#include "platform/message_queue.h"
#include "tunnel/controller_view.h"

// The controller's reach into the rest of the program. Empty members use the
// real operations; tests replace them with recorders.
struct ControllerHooks {
  std::function<int(const char* profilePath)> loadProfile;  // 0 = loaded
  std::function<bool()> startTunnel;                        // true = request written
  std::function<void(const char* profilePath)> startDelayedServerListUpdate;
  std::function<void()> startKnocker;
  std::function<void()> startOpenInstalled;
  // A one-shot timer on the user-interface loop (non-zero id), and its cancel.
  std::function<unsigned(unsigned ms, std::function<void()> fire)> startTimer;
  std::function<void(unsigned id)> cancelTimer;
  // Restarts the running OpenVPN's tunnel at once (OpenVPN's SIGUSR1 through
  // the management connection); empty: no restart.
  std::function<void()> restartTunnel;
  unsigned failoverWaitMs = 2500;
  // OpenVPN calls the management port within milliseconds of its start; a
  // request that brings no call within this long is a start that failed (0: no bound).
  unsigned managementWaitMs = 10000;
  // false when the management port could not be opened: a tunnel then
  // requested would hand root's OpenVPN to whoever holds the port.
  std::function<bool()> managementListening;
  // An OpenVPN told to stop closes its management connection within this
  // long; a Disconnect that sees none by then ends anyway (0: no bound).
  unsigned disconnectWaitMs = 10000;
  // OpenVPN reports its counters every 3 s, idle or not: a tunnel whose
  // OpenVPN says nothing for this long (stopped, or the machine asleep) is
  // shown as reconnecting, and restarted when it speaks again (0: not watched).
  unsigned counterSilenceMs = 10000;
  // After the server list ran out, the next round starts after this long
  // (at once when the network changes), doubling after each failed round up
  // to retryMaxMs (0: no round of its own).
  unsigned retryFirstMs = 15000;
  unsigned retryMaxMs = 300000;
};

// The box shown when the management port is held by another program.
extern const char* const kManagementPortTakenText;

// Text of at most 63 characters for a byte count: Bytes, kB or MB (units of 1000).
void FormatTraffic(uint64_t value, char* out, size_t size);

class ConnectionController {
 public:
  ConnectionController(ControllerView& view, Signal& signal, ControllerHooks hooks = {});
  ~ConnectionController();
  ConnectionController(const ConnectionController&) = delete;
  ConnectionController& operator=(const ConnectionController&) = delete;

  // Handles WM_SERVICE_STATUS .. WM_NETWORK_CHANGED; false for any other message.
  bool HandleMessage(const platform::Message& message);

  // The page's and the tray's commands. Connect returns "ok", or null when
  // the profile cannot be loaded; Disconnect returns "ok".
  const char* Connect();
  const char* Disconnect();

  TunnelState state() const { return state_; }
  // What the page and tray show for it.
  ShownState shown() const;
  // True while a lost connection waits for the next server to be requested.
  bool FailoverPending() const { return failoverTimer_ != 0; }
  // True while a request waits for OpenVPN's management connection.
  bool StartPending() const { return startTimer_ != 0; }
  // True while Disconnected because no server could be reached, with a round of its own ahead.
  bool WaitingForNetwork() const { return waitingForNetwork_; }
  // Set from "-firstrun" before the window runs; consumed by the first tunnel-up.
  bool firstRun = false;

  void OnServiceStatus(uintptr_t status);
  void OnTunnelUp();
  void OnManagementConnected();
  void OnManagementDisconnected();
  void OnTraffic(uint64_t received, uint64_t sent);
  void OnReconnecting(uintptr_t reason);
  void OnNetworkChanged(uintptr_t change);

 private:
  void CallPage(const char* name, const char* text);
  // The page function and the tray of the table's row.
  void ShowPage(ShownState state);
  void ShowTray();
  void ToDisconnected();
  void CancelDisconnectWait();
  // (Re)arms the watch on OpenVPN's counters while Connected.
  void WatchCounters();
  void CancelCounterWatch();
  void OnCountersSilent();
  // The list ran out: wait for the network and try again by itself.
  void WaitForNetwork();
  void CancelNetworkWait();
  void OnRetryDue();
  // The next server's request; with none left, Disconnected and the window
  // shown and the exit event set: the service ends the session.
  void OnFailoverDue();
  bool CancelFailover();
  // Requests the next tunnel and waits for its management connection.
  bool RequestTunnel();
  void CancelStartWait();
  void OnStartOverdue();

  ControllerView& view_;
  Signal& signal_;
  ControllerHooks hooks_;
  TunnelState state_ = TunnelState::WaitingForService;
  // While Connecting: the tunnel that was asked for is being brought back.
  bool reconnecting_ = false;
  // An OpenVPN holds the management connection.
  bool managementUp_ = false;
  // The current management connection's tunnel has been up once.
  bool tunnelSeen_ = false;
  // The user's tunnel has been up since the user last pressed Connect.
  bool everConnected_ = false;
  unsigned failoverTimer_ = 0;
  unsigned startTimer_ = 0;
  unsigned disconnectTimer_ = 0;
  unsigned counterTimer_ = 0;
  // Shown as reconnecting only because OpenVPN went quiet: its next counters end it.
  bool silent_ = false;
  // Disconnected because no server could be reached, and trying again by itself.
  bool waitingForNetwork_ = false;
  // The tunnel being asked for is one of those rounds (not the user's Connect).
  bool retrying_ = false;
  unsigned retryTimer_ = 0;
  unsigned retryWaitMs_ = 0;
  Knocker knocker_;
  OpenInstalled openInstalled_;
};
