#include "tunnel/service_request.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/shared_state.h"
#include "platform/environment.h"
#include "platform/local_socket.h"
#include "profile/profile_update.h"
#include "runtime/server_list.h"
#include "runtime/ui_messages.h"
#include "tunnel/controller_view.h"

namespace {

constexpr int kBusyWaitMs = 1000;

// Splits like a tokenizer that skips empty fields: runs of separators count
// once, leading ones are ignored. Returns the next field or null.
char* NextField(char** cursor) {
  char* p = *cursor;
  while (*p == ':') ++p;
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char* field = p;
  while (*p != '\0' && *p != ':') ++p;
  if (*p == ':') *p++ = '\0';
  *cursor = p;
  return field;
}

// The service runs OpenVPN with each field as one argument: a field that OpenVPN
// would read as an option, a control byte or a server protocol is refused there,
// so it is refused here too and StartTunnel reports the failure.
bool IsSafeField(const char* field) {
  if (field[0] == '-') return false;
  for (const char* p = field; *p; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) return false;
  }
  return true;
}

bool IsServerProtocol(const char* protocol) {
  return std::strcmp(protocol, "tcp-server") == 0 || std::strcmp(protocol, "tcp4-server") == 0 ||
         std::strcmp(protocol, "tcp6-server") == 0;
}

}  // namespace

const char* ServicePipePath() {
  const char* path = std::getenv("QUORVANTA_PIPE");
  return (path && *path) ? path : platform::DefaultServiceEndpoint();
}

bool SendServiceRequest(const char* text) {
  platform::LocalSocket socket;
  switch (socket.Connect(ServicePipePath(), kBusyWaitMs)) {
    case platform::LocalConnectResult::Connected:
      break;
    default:
      return false;
  }
  if (!text) return true;  // the open alone is the probe
  bool written = socket.Write(text, std::strlen(text) + 1);
  socket.Close();
  return written;
}

bool ComposeTunnelCommand(char* entry, const char* eventName, char* out, size_t outSize) {
  char* cursor = entry;
  char* host = NextField(&cursor);
  char* port = NextField(&cursor);
  char* protocol = NextField(&cursor);
  char* word = NextField(&cursor);
  if (!host || !port || !protocol) return false;
  if (!IsSafeField(host) || !IsSafeField(port) || !IsSafeField(protocol) || IsServerProtocol(protocol) ||
      (word && !IsSafeField(word))) {
    return false;
  }

  char extra[kExtraOptionsSize];
  const bool udp = std::strcmp(protocol, "udp") == 0;
  int n = std::snprintf(extra, sizeof extra, "%s%s%s", udp ? "--explicit-exit-notify " : "",
                        word ? "--scramble obfuscate " : "", word ? word : "");
  if (n < 0 || static_cast<size_t>(n) >= sizeof extra) return false;

  n = std::snprintf(out, outSize,
                    "openvpn.exe --service %s 1 --config config.qvpn --management 127.0.0.1 %d "
                    "--management-hold --management-query-passwords --management-client "
                    "--remote %s %s --proto %s --hand-window %d --resolv-retry 0 --verb 4 %s",
                    eventName, static_cast<int>(ManagementPort), host, port, protocol, udp ? 5 : 10, extra);
  return n >= 0 && static_cast<size_t>(n) < outSize;
}

bool StartTunnel(Signal& signal, void (*onEmptyList)(const char* profilePath)) {
  signal.Reset();
  ServerListEntry* entry;
  {
    std::lock_guard<std::mutex> lock(ListsLock);
    entry = TakeBack(Servers);
  }
  if (!entry) {
    (onEmptyList ? onEmptyList : StartServerListUpdate)(ProfilePath);
    return false;
  }
  char command[kCommandLineSize];
  bool result = false;
  if (ComposeTunnelCommand(entry->text, signal.GetName(), command, sizeof command)) {
    result = SendServiceRequest(command);
  }
  FreeServerEntry(entry);
  return result;
}

void Init::Run() {
  bool reachable = false;
  bool stopped = false;
  for (unsigned attempt = 0; attempt < attempts_ && !stopped; ++attempt) {
    if (SendServiceRequest(nullptr)) {
      reachable = true;
      break;
    }
    stopped = WaitForStop(intervalMs_);
  }
  // A probe ended by the program's shutdown reports nothing.
  if (notify_ && !stopped) notify_->Post(msg::WM_SERVICE_STATUS, reachable ? 1 : 0, 0);
}
