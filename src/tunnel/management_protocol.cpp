#include "tunnel/management_protocol.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/ui_messages.h"
#include "tunnel/controller_view.h"

namespace {

bool StartsWith(const char* text, const char* prefix, size_t length) {
  return std::strncmp(text, prefix, length) == 0;
}

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// Clears the command text even where the compiler sees no later reader: it
// carries the credentials.
void Wipe(char* buffer, size_t size) {
  volatile char* p = buffer;
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace

long ParseCounter(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

ManagementHandler::ManagementHandler(CommandSink& sink, const char* machineId)
    : sink_(sink), machineId_(machineId) {}

void ManagementHandler::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  if (notify_) notify_->Post(id, wParam, lParam);
}

void ManagementHandler::ProcessLine(char* line) {
  if (!line || line[0] == '\0') return;
  if (line[0] == '>') {
    if (StartsWith(line, ">STATE:", 7)) {
      OnStateNotification(line + 7);
    } else if (StartsWith(line, ">HOLD:", 6)) {
      OnHoldNotification(line + 6);
    } else if (StartsWith(line, ">PASSWORD:", 10)) {
      OnPasswordNotification(line + 10);
    } else if (StartsWith(line, ">BYTECOUNT:", 11)) {
      OnByteCountNotification(line + 11);
    }
    return;
  }
  if (!passwordSent && Contains(line, "SUCCESS: 'Auth' username entered")) {
    // The reply is at least as long as the text it contains, so line + 8 is inside it.
    OnPasswordNotification(line + 8);
    passwordSent = true;
  }
  if (Contains(line, "SUCCESS: real-time state notification")) {
    sink_.Send("bytecount 3\n");
  } else if (Contains(line, "SUCCESS: bytecount interval")) {
    sink_.Send("hold off\n");
  } else if (Contains(line, "SUCCESS: hold flag set to OFF")) {
    sink_.Send("hold release\n");
  }
}

void ManagementHandler::OnHoldNotification(const char* text) {
  if (Contains(text, "Waiting for hold release")) sink_.Send("state on\n");
}

void ManagementHandler::OnPasswordNotification(const char* text) {
  char command[kCommandSize];
  std::memset(command, 0, sizeof command);
  const char* format = nullptr;
  if (Contains(text, "Need 'Auth' username/password")) {
    format = "username 'Auth' '%s'\n";
  } else if (Contains(text, "'Auth' username entered")) {
    format = "password 'Auth' '%s'\n";
  }
  if (format) {
    int n = std::snprintf(command, sizeof command, format, machineId_ ? machineId_ : "");
    // A cut command would end without its line feed; send none rather than a wrong one.
    if (n > 0 && static_cast<size_t>(n) < sizeof command) sink_.Send(command);
  }
  Wipe(command, sizeof command);
}

void ManagementHandler::OnStateNotification(const char* text) {
  static const char* const kIgnored[] = {",CONNECTING,", ",RESOLVE,",    ",TCP_CONNECT,",
                                         ",WAIT,",       ",AUTH,",       ",GET_CONFIG,",
                                         ",ASSIGN_IP,",  ",ADD_ROUTES,"};
  for (const char* name : kIgnored) {
    if (Contains(text, name)) return;
  }
  if (Contains(text, ",CONNECTED,")) Post(msg::WM_TUNNEL_UP, 0, 0);
}

void ManagementHandler::OnByteCountNotification(char* text) {
  char* comma = std::strchr(text, ',');
  if (!comma) return;  // not a counters line
  *comma = ' ';
  long in = ParseCounter(text);
  long out = ParseCounter(comma + 1);
  // Counters travel as 32-bit values, the way the window message carries them.
  Post(msg::WM_MGMT_BYTECOUNT, static_cast<uintptr_t>(static_cast<uint32_t>(in)),
       static_cast<intptr_t>(static_cast<uint32_t>(out)));
}
