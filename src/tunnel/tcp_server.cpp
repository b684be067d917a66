#include "tunnel/tcp_server.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "runtime/shared_state.h"
#include "platform/socket_owner.h"
#include "platform/sockets.h"
#include "platform/thread.h"
#include "runtime/ui_messages.h"
#include "tunnel/controller_view.h"
#include "tunnel/line_cutter.h"
#include "tunnel/service_request.h"

namespace {

// Commands that cannot be written within this long, in all, go to a peer that
// has stopped reading; OpenVPN reads every line at once. The bound is per
// connection, not per command: a peer that never reads can still have its
// kernel take a few bytes now and then, and each command would then wait a
// little less than a per-command bound, for ever.
constexpr long kSendBoundMs = 1000;

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Only root's OpenVPN, or one started by a service that runs as somebody
// else (tests, the demo), may hear the machine identity or move the state.
bool PeerTrusted(platform::SocketHandle client, char* peer, size_t peerSize) {
  return platform::TcpPeerTrusted(client, ServicePipePath(), peer, peerSize);
}

}  // namespace

TcpServer::TcpServer() : handler_(*this, MachineId) {}

// The thread must not outlive the object it serves from.
TcpServer::~TcpServer() { Stop(); }

void TcpServer::SetNotifyWindow(platform::MessageQueue* queue) {
  notify_ = queue;
  handler_.SetNotifyQueue(queue);
}

void TcpServer::Send(const char* text) {
  if (client_ == platform::kInvalidSocket || dropPeer_) return;
  size_t length = std::strlen(text);
  const auto start = std::chrono::steady_clock::now();
  // A command cut short leaves the stream in the middle of a line: drop the peer.
  if (sendWaitLeftMs_ <= 0 ||
      listener_.Send(client_, text, length, static_cast<int>(sendWaitLeftMs_)) != static_cast<long>(length)) {
    dropPeer_ = true;
  }
  sendWaitLeftMs_ -= static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

void TcpServer::RequestRestart() {
  restartWanted_.store(true);
  listener_.Wake();
}

void TcpServer::SetListening(uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  boundPort_ = port;
  opened_ = true;
  changed_.notify_all();
}

uint16_t TcpServer::WaitListening() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return opened_ || !Running(); });
  return boundPort_;
}

void TcpServer::Run() {
  // The serving thread uses sockets on its own account, whoever else started them.
  if (platform::StartSockets())
    Serve();
  else
    Say("Server: The Winsock dll not found!\n");
  platform::StopSockets();
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = true;
  changed_.notify_all();
}

void TcpServer::Serve() {
  int error = 0;
  switch (listener_.Open(static_cast<uint16_t>(port_ & 0xFFFF), 10, &error)) {
    case platform::ListenResult::SocketFailed:
      Say("Server: Error initializing socket!n");
      SetListening(0);
      return;
    case platform::ListenResult::BindFailed:
      Say("Server: Error binding socket to portn");
      SetListening(0);
      return;
    case platform::ListenResult::ListenFailed: {
      // Without a listening socket every accept fails: end instead of spinning.
      char text[64];
      std::snprintf(text, sizeof text, "listen(): Error listening on socket %d.n", error);
      Say(text);
      SetListening(0);
      return;
    }
    case platform::ListenResult::Ok:
      break;
  }
  Say("Server: Waiting for connections...n");
  Say("Server: Waiting for a client to connect...n");
  SetListening(listener_.BoundPort());

  char received[1024 + 1];
  LineCutter cutter;
  for (;;) {
    platform::SocketHandle client = listener_.Accept();
    if (client == platform::kInvalidSocket) {
      if (listener_.Stopped()) return;
      // Out of descriptors or memory: give the system a moment rather than spin.
      platform::SleepMs(100);
      continue;
    }
    char peer[240];
    if (!PeerTrusted(client, peer, sizeof peer)) {
      char text[300];
      if (!peer[0])
        std::snprintf(text, sizeof text, "Server: refused a connection of unknown owner\n");
      else
        std::snprintf(text, sizeof text, "Server: refused a connection from %s\n", peer);
      Say(text);
      // Closed before a byte is read or written, and never reported.
      listener_.CloseSocket(client);
      continue;
    }
    client_ = client;
    dropPeer_ = false;
    sendWaitLeftMs_ = kSendBoundMs;
    // A restart asked for before this OpenVPN called in has nothing to restart.
    restartWanted_.store(false);
    if (notify_) notify_->Post(msg::WM_MGMT_CONNECTED, 0, 0);
    cutter.Reset();
    handler_.ResetConnection();
    for (;;) {
      long n = listener_.Receive(client_, received, sizeof received - 1);
      if (n == platform::TcpListener::kWoken) {
        // Our only command of our own: the network moved under the tunnel.
        if (restartWanted_.exchange(false)) Send("signal SIGUSR1\n");
        if (dropPeer_) break;
        continue;
      }
      if (n < 1) break;
      received[n] = '\0';
      bool fits = cutter.Feed(received, static_cast<size_t>(n), [this](char* line) { handler_.ProcessLine(line); });
      // A line that cannot be held is no management line: drop the peer.
      if (!fits || dropPeer_) break;
    }
    if (notify_) notify_->Post(msg::WM_MGMT_DISCONNECTED, 0, 0);
    listener_.CloseSocket(client_);
    client_ = platform::kInvalidSocket;
    if (listener_.Stopped()) return;
  }
}
