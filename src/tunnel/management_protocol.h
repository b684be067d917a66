#pragma once
// Our side of OpenVPN's management protocol (OpenVPN as client, held, asking
// for its credentials): answers each line with the command that moves
// OpenVPN to its next step and posts tunnel-up and traffic to the notify queue.
#include <cstddef>

#include "platform/message_queue.h"

// Where the handler's commands go: the management connection, or a recorder.
class CommandSink {
 public:
  virtual void Send(const char* text) = 0;

 protected:
  ~CommandSink() = default;
};

// Decimal conversion like a 32-bit strtol in base 10: leading blanks, a sign,
// digits up to the first non-digit; clamped to the 32-bit range.
long ParseCounter(const char* text);

class ManagementHandler {
 public:
  static constexpr size_t kCommandSize = 2048;

  // machineId is read at every credential request (the user name and password).
  ManagementHandler(CommandSink& sink, const char* machineId);

  void SetNotifyQueue(platform::MessageQueue* queue) { notify_ = queue; }
  // Called on every new connection.
  void ResetConnection() { passwordSent = false; }

  // One line without its line end; counters lines are changed in place.
  void ProcessLine(char* line);

  void OnStateNotification(const char* text);
  void OnHoldNotification(const char* text);
  void OnPasswordNotification(const char* text);
  void OnByteCountNotification(char* text);

  // The password goes out once per connection in answer to the username reply.
  bool passwordSent = false;

 private:
  void Post(uint32_t id, uintptr_t wParam, intptr_t lParam);

  CommandSink& sink_;
  const char* machineId_;
  platform::MessageQueue* notify_ = nullptr;
};
