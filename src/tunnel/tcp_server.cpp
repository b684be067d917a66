#include "tunnel/tcp_server.h"

#include <cstdio>
#include <cstring>

#include "app/shared_state.h"
#include "platform/thread.h"
#include "tunnel/controller_view.h"
#include "tunnel/line_cutter.h"

namespace {

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
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
  if (client_ == platform::kInvalidSocket) return;
  listener_.Send(client_, text, std::strlen(text));
}

void TcpServer::SetListening(uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  boundPort_ = port;
  opened_ = true;
  changed_.notify_all();
}

uint16_t TcpServer::WaitListening() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return opened_ || !running_; });
  return boundPort_;
}

bool TcpServer::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
  }
  if (Thread::Start()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  return false;
}

void TcpServer::Stop() {
  listener_.Stop();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !running_; });
}

void TcpServer::Run() {
  Serve();
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = true;
  running_ = false;
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
    client_ = client;
    if (notify_) notify_->Post(WM_MGMT_CONNECTED, 0, 0);
    cutter.Reset();
    handler_.ResetConnection();
    for (;;) {
      long n = listener_.Receive(client_, received, sizeof received - 1);
      if (n < 1) break;
      received[n] = '\0';
      bool fits = cutter.Feed(received, static_cast<size_t>(n),
                              [this](char* line) { handler_.ProcessLine(line); });
      // A line that cannot be held is no management line: drop the peer.
      if (!fits) break;
    }
    if (notify_) notify_->Post(WM_MGMT_DISCONNECTED, 0, 0);
    listener_.CloseSocket(client_);
    client_ = platform::kInvalidSocket;
    if (listener_.Stopped()) return;
  }
}
