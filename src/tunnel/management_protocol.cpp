#include "tunnel/management_protocol.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/ui_messages.h"
#include "tunnel/controller_view.h"

namespace {

bool StartsWith(const char* text, const char* prefix, size_t length) { return std::strncmp(text, prefix, length) == 0; }

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// Both credentials are the machine identity.
constexpr const char* kUserNameCommand = "username 'Auth' '%s'\n";
constexpr const char* kPasswordCommand = "password 'Auth' '%s'\n";

// Clears the command text even where the compiler sees no later reader: it
// carries the credentials.
void Wipe(char* buffer, size_t size) {
  volatile char* p = buffer;
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace

uint64_t ParseCounter(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      value = UINT64_MAX;
      while (*text >= '0' && *text <= '9') ++text;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? 0 : value;
}

uintptr_t ReconnectReasonOf(const char* reason, size_t length) {
  struct Known {
    const char* text;
    uintptr_t reason;
  };
  static const Known kKnown[] = {
      {"ping-restart", msg::ReconnectPingTimeout},     {"server-pushed-connection-reset", msg::ReconnectServerReset},
      {"connection-reset", msg::ReconnectServerReset}, {"SIGUSR1", msg::ReconnectAsked},
      {"tls-error", msg::ReconnectTlsError},
  };
  for (const Known& known : kKnown) {
    if (std::strlen(known.text) == length && std::strncmp(reason, known.text, length) == 0) return known.reason;
  }
  return msg::ReconnectOther;
}

namespace {

// ">STATE:time,NAME,reason,...": the state's name and reason fields.
ManagementEvent ReadState(const char* text) {
  static const char* const kIgnored[] = {",CONNECTING,", ",RESOLVE,",    ",TCP_CONNECT,", ",WAIT,",
                                         ",AUTH,",       ",GET_CONFIG,", ",ASSIGN_IP,",   ",ADD_ROUTES,"};
  ManagementEvent event;
  for (const char* name : kIgnored) {
    if (Contains(text, name)) return event;
  }
  const char* name = std::strchr(text, ',');
  if (!name) return event;
  ++name;
  const size_t nameLength = std::strcspn(name, ",");
  if (nameLength == 9 && std::strncmp(name, "CONNECTED", 9) == 0) {
    event.kind = ManagementEvent::TunnelUp;
  } else if (nameLength == 12 && std::strncmp(name, "RECONNECTING", 12) == 0) {
    event.kind = ManagementEvent::Reconnecting;
    const char* reason = name[nameLength] == ',' ? name + nameLength + 1 : name + nameLength;
    event.reason = ReconnectReasonOf(reason, std::strcspn(reason, ","));
  }
  return event;
}

}  // namespace

ManagementEvent ReadNotification(char* line) {
  ManagementEvent event;
  if (!line) return event;
  if (StartsWith(line, ">STATE:", 7)) return ReadState(line + 7);
  if (StartsWith(line, ">HOLD:", 6)) {
    if (Contains(line + 6, "Waiting for hold release")) event.kind = ManagementEvent::Held;
  } else if (StartsWith(line, ">PASSWORD:", 10)) {
    if (Contains(line + 10, "Need 'Auth' username/password"))
      event.kind = ManagementEvent::CredentialsAsked;
    else if (Contains(line + 10, "'Auth' username entered"))
      event.kind = ManagementEvent::PasswordWanted;
  } else if (StartsWith(line, ">BYTECOUNT:", 11)) {
    char* text = line + 11;
    char* comma = std::strchr(text, ',');
    if (!comma) return event;  // not a counters line
    *comma = ' ';
    event.kind = ManagementEvent::Counters;
    event.received = ParseCounter(text);
    event.sent = ParseCounter(comma + 1);
  }
  return event;
}

ManagementHandler::ManagementHandler(CommandSink& sink, const char* machineId) : sink_(sink), machineId_(machineId) {}

void ManagementHandler::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  if (notify_) notify_->Post(id, wParam, lParam);
}

void ManagementHandler::Act(const ManagementEvent& event) {
  switch (event.kind) {
    case ManagementEvent::Held:
      sink_.Send("state on\n");
      break;
    case ManagementEvent::TunnelUp:
      Post(msg::WM_TUNNEL_UP, 0, 0);
      break;
    case ManagementEvent::Reconnecting:
      Post(msg::WM_TUNNEL_RECONNECTING, event.reason, 0);
      break;
    case ManagementEvent::CredentialsAsked:
      // A restarted tunnel asks again on the same connection: answer every request.
      passwordSent = false;
      SendCredential(kUserNameCommand);
      break;
    case ManagementEvent::PasswordWanted:
      SendCredential(kPasswordCommand);
      break;
    case ManagementEvent::Counters:
      // The counters ride the message's two 64-bit words as they are.
      Post(msg::WM_MGMT_BYTECOUNT, static_cast<uintptr_t>(event.received),
           static_cast<intptr_t>(event.sent > INTPTR_MAX ? INTPTR_MAX : event.sent));
      break;
    case ManagementEvent::None:
      break;
  }
}

void ManagementHandler::ProcessLine(char* line) {
  if (!line || line[0] == '\0') return;
  if (line[0] == '>') {
    Act(ReadNotification(line));
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

void ManagementHandler::OnPasswordNotification(const char* text) {
  if (Contains(text, "Need 'Auth' username/password")) {
    SendCredential(kUserNameCommand);
  } else if (Contains(text, "'Auth' username entered")) {
    SendCredential(kPasswordCommand);
  }
}

void ManagementHandler::SendCredential(const char* format) {
  char command[kCommandSize];
  std::memset(command, 0, sizeof command);
  int n = std::snprintf(command, sizeof command, format, machineId_ ? machineId_ : "");
  // A cut command would end without its line feed; send none rather than a wrong one.
  if (n > 0 && static_cast<size_t>(n) < sizeof command) sink_.Send(command);
  Wipe(command, sizeof command);
}
