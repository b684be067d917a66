#pragma once
// Our side of OpenVPN's management protocol (OpenVPN as client, held, asking
// for its credentials): answers each line with the command that moves
// OpenVPN to its next step and posts tunnel-up and traffic to the notify queue.
#include <cstddef>
#include <cstdint>

#include "platform/message_queue.h"

// Where the handler's commands go: the management connection, or a recorder.
class CommandSink {
 public:
  virtual void Send(const char* text) = 0;

 protected:
  ~CommandSink() = default;
};

// Decimal conversion of a byte counter: leading blanks, a sign, digits up to
// the first non-digit; negative counts are 0, and counts past the 64-bit
// range stay at its top.
uint64_t ParseCounter(const char* text);

// What one line from OpenVPN means to the program. This is the one place that
// reads OpenVPN's notifications; the handler acts on what it says.
struct ManagementEvent {
  enum Kind {
    None,              // nothing to do
    Held,              // waiting for hold release: switch the state notifications on
    TunnelUp,          // state CONNECTED
    Reconnecting,      // state RECONNECTING; reason says why
    CredentialsAsked,  // the user name and password are wanted (again)
    PasswordWanted,    // the user name was taken: the password follows
    Counters,          // received and sent bytes
  };
  Kind kind = None;
  uintptr_t reason = 0;  // a msg::ReconnectReason
  uint64_t received = 0;
  uint64_t sent = 0;
};

// Reads one notification line (it begins with ">"); counters lines are
// changed in place (their comma becomes a blank).
ManagementEvent ReadNotification(char* line);
// The reason field of a RECONNECTING state as a msg::ReconnectReason.
uintptr_t ReconnectReasonOf(const char* reason, size_t length);

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

  // Sends the user name or the password that the text asks for.
  void OnPasswordNotification(const char* text);

  // The password goes out once per credentials request, in answer to the
  // username reply; a new request (a restarted tunnel) clears it.
  bool passwordSent = false;

 private:
  void Post(uint32_t id, uintptr_t wParam, intptr_t lParam);
  void Act(const ManagementEvent& event);
  // Formats the command with the machine identity in a wiped buffer and sends it.
  void SendCredential(const char* format);

  CommandSink& sink_;
  const char* machineId_;
  platform::MessageQueue* notify_ = nullptr;
};
