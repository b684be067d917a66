#pragma once
// Runs one OpenVPN at a time for the tunnel service: starts it in the
// configuration directory, reaps it, logs how it ended, and stops it when a
// new request comes. Requests from one front end form a session, which ends
// when the service's exit event is set, when that front end ends, or when no
// request follows an ended OpenVPN; the block outside the tunnel lives with it.
#include <cstddef>

#include "caller_identity.h"
#include "request_validator.h"

namespace tunneld {

// What one caller may hold of the service, on every system.
inline constexpr int kRequestTimeoutMs = 5000;      // to write a whole request
inline constexpr int kMaxConnections = 64;          // open at once, all callers
inline constexpr int kMaxPerUser = 8;               // open at once, one caller
inline constexpr int kDefaultStopTimeoutMs = 5000;  // OpenVPN's time to end before it is killed
inline constexpr int kSessionIdleMs = 30000;        // a session with no OpenVPN and no request ends after this

struct SupervisorOptions {
  const char* openvpn;    // the binary that stands for "openvpn.exe"
  const char* configDir;  // where config.qvpn lives; OpenVPN's working directory
  int stopTimeoutMs;      // asked to exit, then ended by force after this long
  // OpenVPN's route-up and down script for the pushed DNS (none: not applied),
  // and the folder where it keeps what it applied.
  const char* dnsHook = nullptr;
  const char* stateDir = nullptr;
};

// Binds the exit event's name to a new, clear event owned by the service and
// starts the reaper and the event's watcher. Called once, before any request;
// false (and a log line) when the event cannot be made.
bool StartSupervisor(const SupervisorOptions& options);

// Stops the running OpenVPN (if any), waits for it, and starts the command for
// caller. While an OpenVPN started for one user runs, another user (other
// than a privileged one) is refused. false (and a log line) when nothing started.
bool RunTunnel(const TunnelCommand& command, const CallerIdentity& caller);

// Validates a request's bytes and runs it for caller; a refusal is logged.
void ServeRequest(const unsigned char* bytes, size_t size, const CallerIdentity& caller);

// Stops the running OpenVPN, waits for it to end and removes the exit event
// (service shutdown).
void StopTunnel(const char* why);

// One log line, prefixed with the program's name.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A refusal's log line. One unprivileged caller gets at most kRefusalBurst lines in each
// kRefusalWindowMs; the lines dropped beyond that are counted in one line
// when the caller's next window begins, so a stranger cannot flood the log.
inline constexpr int kRefusalBurst = 20;
inline constexpr int kRefusalWindowMs = 10000;
void LogRefused(const CallerIdentity& caller, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tunneld
