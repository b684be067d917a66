#pragma once
// The tunnel request to the service: a probe worker that waits for the
// service's socket, the writer of one request, and StartTunnel, which turns
// the next server entry into an OpenVPN command line.
#include <cstddef>

#include "runtime/signal.h"
#include "runtime/thread.h"
#include "platform/message_queue.h"

inline constexpr size_t kExtraOptionsSize = 500;
inline constexpr size_t kCommandLineSize = 1024;

// The service socket: QUORVANTA_PIPE, else the default path.
const char* ServicePipePath();

// Connects to the service and writes text with its NUL in one message; a null
// text only probes. True when the socket could be opened and the text (if
// any) was written. A busy service is waited for up to 1000 ms per attempt.
bool SendServiceRequest(const char* text);

// Composes the OpenVPN command line for one server entry (changed in place
// while it is split). False when host, port or protocol is missing, when a
// field starts with a hyphen or holds a control byte, for a server protocol,
// or when the options or the line would not fit their buffers.
bool ComposeTunnelCommand(char* entry, const char* eventName, char* out, size_t outSize);

// Resets the exit event, takes the last entry of Servers and sends its
// command line. An empty list starts a list update (onEmptyList, the real
// StartServerListUpdate when null) and gives false. Each call consumes one entry.
bool StartTunnel(Signal& signal, void (*onEmptyList)(const char* profilePath) = nullptr);

// Probes the service socket until it answers, then posts WM_SERVICE_STATUS
// (1 reachable, 0 gave up) to the notify queue. Destroying it ends a probe
// still running, so the thread never reaches a dead object.
class Init : public Thread {
 public:
  Init() = default;
  ~Init() { Stop(); }

  void SetNotifyWindow(platform::MessageQueue* queue) { notify_ = queue; }
  // Tests shorten the probe; the program keeps 10000 probes 1000 ms apart.
  void SetProbe(unsigned attempts, unsigned intervalMs) {
    attempts_ = attempts;
    intervalMs_ = intervalMs;
  }

 protected:
  void Run() override;

 private:
  platform::MessageQueue* notify_ = nullptr;
  unsigned attempts_ = 10000;
  unsigned intervalMs_ = 1000;
};
