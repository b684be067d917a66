#pragma once
// Runs one OpenVPN at a time for the tunnel service: starts it by execve in
// the configuration directory, reaps it, logs how it ended, and stops it when
// the exit event named in its request is set or when a new request comes.
#include "request_validator.h"

namespace tunneld {

struct SupervisorOptions {
  const char* openvpn;     // the binary that stands for "openvpn.exe"
  const char* configDir;   // where config.qvpn lives; OpenVPN's working directory
  int stopTimeoutMs;       // SIGTERM, then SIGKILL after this long
};

// Starts the reaper thread. Called once, before any request.
void StartSupervisor(const SupervisorOptions& options);

// Stops the running OpenVPN (if any), waits for it, and starts the command.
// false (and a log line) when nothing could be started.
bool RunTunnel(const TunnelCommand& command);

// Stops the running OpenVPN and waits for it to end (service shutdown).
void StopTunnel(const char* why);

// One line to standard error, prefixed with the program's name.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tunneld
