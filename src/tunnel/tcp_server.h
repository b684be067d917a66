#pragma once
// The management listener: OpenVPN connects to us on the loopback port and
// we serve one connection at a time on this worker thread, cutting lines and
// answering them with the protocol handler.
//
// Only a peer whose socket belongs to root or to the owner of the service
// socket is served; any other is closed unheard.
//
// Use: SetPort, SetNotifyWindow, Start. Port 0 binds any free port (tests),
// readable through BoundPort once the server is listening.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "runtime/thread.h"
#include "platform/message_queue.h"
#include "platform/tcp_listener.h"
#include "tunnel/management_protocol.h"

class TcpServer : public Thread, private CommandSink {
 public:
  TcpServer();
  virtual ~TcpServer();

  void SetPort(uint32_t port) { port_ = port; }
  // The queue that stands for the notify window; set before Start.
  void SetNotifyWindow(platform::MessageQueue* queue);

  // Writes the text on the current connection within a bound; a peer that
  // does not take it is dropped. Only called on the server thread, by the handler.
  void Send(const char* text) override;
  void ProcessLine(char* line) { handler_.ProcessLine(line); }

  // Thread-safe: asks the OpenVPN on the current connection to restart its
  // tunnel at once ("signal SIGUSR1"); nothing when no OpenVPN is connected.
  void RequestRestart();

  // Blocks until the listener is open (or failed to open); then the bound
  // port, 0 when opening failed or the server is not running.
  uint16_t WaitListening();

  ManagementHandler& handler() { return handler_; }

 protected:
  void Run() override;
  void Wake() override { listener_.Stop(); }

 private:
  void Serve();
  void SetListening(uint16_t port);

  uint32_t port_ = 0;
  ManagementHandler handler_;
  platform::TcpListener listener_;
  platform::SocketHandle client_ = platform::kInvalidSocket;
  bool dropPeer_ = false;  // server thread only
  long sendWaitLeftMs_ = 0;
  std::atomic<bool> restartWanted_{false};  // what this connection may still keep our sends waiting, in all
  platform::MessageQueue* notify_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool opened_ = false;
  uint16_t boundPort_ = 0;
};
