#pragma once
// The system-specific half of the supervisor: starting, stopping, waiting for
// and reaping one OpenVPN, and writing the service's log lines.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/named_event.h"
#include "request_validator.h"
#include "supervisor.h"

namespace tunneld {

struct OpenVpnProcess {
  long pid = 0;               // 0 when none
  std::uintptr_t native = 0;  // the process handle where the system has one
};

// How this system asks OpenVPN to exit, for the stop's log lines, and whether
// asking means setting the exit event (which the supervisor owns).
extern const char* const kAskToExitName;
extern const char* const kForceEndAction;
extern const char* const kForceEndName;
extern const bool kStopSetsExitEvent;

// What the service adds to a request's command line while a block is in force.
struct SpawnExtras {
  const char* remoteHost = nullptr;  // the server's numeric address, in place of the request's host
  bool block = false;                // OpenVPN's mark and the tunnel device's own name
};

// Starts the OpenVPN for command in options.configDir. Fills shown with the
// command line for the log. false (and a log line) when nothing started.
bool SpawnOpenVpn(const SupervisorOptions& options, const TunnelCommand& command, const SpawnExtras& extras,
                  OpenVpnProcess* out, char* shown, size_t shownSize);

// The front end that asked for a session, watched until it ends. Opened when
// its request is accepted, so its id cannot be another process's later.
struct PeerProcess {
  long pid = 0;
  std::uintptr_t native = 0;  // a pidfd, or a process handle
};
// false when the process has already ended (or is not the caller's).
bool OpenPeer(const CallerIdentity& caller, PeerProcess* out);
void ClosePeer(PeerProcess& peer);
enum class PeerWait { Ended, TimedOut, Woken };
// Blocks until peer ends (no peer: never), timeoutMs passes (-1: never) or
// WakePeerWait is called.
PeerWait WaitPeer(const PeerProcess& peer, int timeoutMs);
void WakePeerWait();

// Asks the OpenVPN to exit by itself (SIGTERM, or its exit event).
void AskToExit(const OpenVpnProcess& process);

// Ends it without asking.
void ForceEnd(const OpenVpnProcess& process);

// Blocks until it has ended, without releasing it: until Reap, its id stays ours.
void WaitEnded(const OpenVpnProcess& process);

// Collects how it ended, logs that, and releases it.
void Reap(const OpenVpnProcess& process, bool scramble, std::chrono::steady_clock::duration lived);

// Binds the exit event's name to a new, clear event: one that only owner (and
// the system) may set or reset while owner's OpenVPN runs, or, with no owner,
// one every user may open. nullptr where the system keeps one event for good.
std::unique_ptr<platform::NamedEvent> BindExitEvent(const CallerIdentity* owner);

// Where the system keeps one event for good (Windows), narrows who may open
// it from now on: owner's user (and the system) while owner's OpenVPN runs,
// every user when owner is null. Nothing where BindExitEvent rebinds the name.
void LimitExitEvent(platform::NamedEvent& event, const CallerIdentity* owner);

// Whether every listener that OpenVPN's management connection could reach is
// the caller's own (or the system's); false with the reason in why otherwise,
// and when there is none at all.
bool ManagementListenerIsCallers(const CallerIdentity& caller, char* why, size_t whySize);

// Undoes what the DNS hook applied for an OpenVPN that ended without its
// down script (killed); waits a bounded time. Nothing where OpenVPN applies
// DNS itself.
void UndoDns(const SupervisorOptions& options);

// Writes one complete log line (with its newline) in one piece.
void WriteLogLine(const char* line, size_t size);

// Text of the last system error, for log lines.
const char* LastErrorText();

}  // namespace tunneld
