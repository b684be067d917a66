#include "supervisor.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "firewall.h"
#include "openvpn_process.h"
#include "platform/named_event.h"
#include "runtime/thread.h"

namespace tunneld {

namespace {

using Clock = std::chrono::steady_clock;

// Shared by the request loop, the reaper and the watchers. Allocated once and
// never freed, so threads still blocked at exit never see it destroyed.
struct State {
  std::mutex mutex;
  std::condition_variable changed;
  SupervisorOptions options{};
  OpenVpnProcess process;             // the running OpenVPN, pid 0 when none
  unsigned long long generation = 0;  // counts started OpenVPNs
  unsigned long long stopping = 0;    // the generation a stop is under way for
  CallerIdentity owner;               // who asked for the running OpenVPN
  bool scramble = false;
  Clock::time_point started;
  // The event bound to the name now; replaced at each session's start and end
  // where the system allows, and then set once so the watcher moves to the new one.
  std::shared_ptr<platform::NamedEvent> exitEvent;
  // The session: one front end's wish for a tunnel, from its first request
  // until it gives up (the exit event), it ends, or no request follows an
  // OpenVPN that ended by itself.
  bool session = false;
  unsigned long long sessionId = 0;  // counts sessions
  unsigned long long requests = 0;   // counts requests taken into a session
  PeerProcess newPeer;               // the latest requester, for the session's watcher
  bool peerChanged = false;
  bool idle = false;  // no OpenVPN runs and none was asked for since
  Clock::time_point idleSince;
  Firewall firewall;
  BlockRules rules;  // the rules in force while the firewall is
};

State* g_state = nullptr;

// Binds the name to a new event for owner (none: open to every user). The old
// one only wakes the watcher now; the mappings that others hold of it lead
// nowhere.
void RebindLocked(const CallerIdentity* owner) {
  State& s = *g_state;
  std::shared_ptr<platform::NamedEvent> fresh = BindExitEvent(owner);
  if (!fresh) {
    if (owner)
      Log("cannot bind the exit event %s to %s: %s; its old event stays", kServiceExitEvent, owner->name,
          LastErrorText());
    return;
  }
  std::shared_ptr<platform::NamedEvent> old = std::move(s.exitEvent);
  s.exitEvent = std::move(fresh);
  if (old) old->Set();
}

// Waits for the OpenVPN with this generation to be reaped, at most timeout.
bool WaitGone(std::unique_lock<std::mutex>& lock, unsigned long long generation, std::chrono::milliseconds timeout) {
  State& s = *g_state;
  return s.changed.wait_for(lock, timeout, [&] { return s.process.pid == 0 || s.generation != generation; });
}

// Asks, waits a bounded time, then ends it by force; returns with the OpenVPN
// reaped (or after a second bounded wait if even that did not end it).
void StopLocked(std::unique_lock<std::mutex>& lock, const char* why) {
  State& s = *g_state;
  if (s.process.pid == 0) return;
  const OpenVpnProcess process = s.process;
  const unsigned long long generation = s.generation;
  Log("stopping OpenVPN (pid %ld): %s", process.pid, why);
  s.stopping = generation;
  if (kStopSetsExitEvent) s.exitEvent->Set();
  AskToExit(process);  // the reaper clears pid only after reaping, so it is still ours
  if (WaitGone(lock, generation, std::chrono::milliseconds(s.options.stopTimeoutMs))) return;
  if (s.process.pid == process.pid) {
    Log("OpenVPN (pid %ld) did not exit within %d ms of %s; %s", process.pid, s.options.stopTimeoutMs, kAskToExitName,
        kForceEndAction);
    ForceEnd(process);
  }
  if (!WaitGone(lock, generation, std::chrono::milliseconds(s.options.stopTimeoutMs))) {
    Log("OpenVPN (pid %ld) still not reaped after %s", process.pid, kForceEndName);
  }
}

// Waits for each OpenVPN to end, then reaps it under the lock: until then its
// id cannot be reused, so a stop never reaches another process.
void ReaperMain() {
  State& s = *g_state;
  for (;;) {
    OpenVpnProcess process;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.process.pid != 0; });
      process = s.process;
    }
    WaitEnded(process);
    std::unique_lock<std::mutex> lock(s.mutex);
    Reap(process, s.scramble, Clock::now() - s.started);
    // Before any next OpenVPN applies its own: a killed one ran no down script.
    UndoDns(s.options);
    s.process = OpenVpnProcess{};
    if (s.session) {
      // The session waits for the front end's next request, but not for ever.
      s.idle = true;
      s.idleSince = Clock::now();
      WakePeerWait();
    } else {
      // The name goes back to every user, as between sessions.
      if (!kStopSetsExitEvent) RebindLocked(nullptr);
      LimitExitEvent(*s.exitEvent, nullptr);
    }
    s.changed.notify_all();
  }
}

// Ends the session: stops its OpenVPN, lifts the block and gives the exit
// event's name back to every user.
void EndSessionLocked(std::unique_lock<std::mutex>& lock, const char* why) {
  State& s = *g_state;
  if (!s.session) return;
  // Ended first: a request that comes while OpenVPN stops begins a session of its own.
  s.session = false;
  s.idle = false;
  const unsigned long long ended = ++s.sessionId;
  const CallerIdentity owner = s.owner;
  // A running OpenVPN's reaper gives the event's name back, as it sees no session.
  const bool running = s.process.pid != 0;
  WakePeerWait();
  s.changed.notify_all();
  StopLocked(lock, why);
  Log("the session of %s ended: %s", owner.name, why);
  // A new session began while the lock was free: its block and its event stand.
  if (s.sessionId != ended) return;
  if (s.firewall.Active()) {
    s.firewall.Remove();
    if (!s.firewall.Active()) Log("lifted the block outside the tunnel");
  }
  if (!running) {
    if (!kStopSetsExitEvent) RebindLocked(nullptr);
    LimitExitEvent(*s.exitEvent, nullptr);
  }
}

// Blocks on the exit event; when it is set, ends the session. A set event is
// acted on once per request: the front end resets it before every request.
void WatcherMain() {
  State& s = *g_state;
  unsigned long long handled = 0;  // last request dealt with
  for (;;) {
    std::shared_ptr<platform::NamedEvent> event;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.session && s.requests > handled; });
      event = s.exitEvent;
    }
    event->Wait(-1);
    std::unique_lock<std::mutex> lock(s.mutex);
    // Rebound meanwhile: the set came from the rebinding, watch the new event.
    if (event != s.exitEvent) continue;
    // Reset again already: the front end is sending its next request.
    if (!event->Wait(0)) continue;
    handled = s.requests;
    // Where stopping OpenVPN means setting the event, a stop of ours set it.
    if (kStopSetsExitEvent && s.stopping == s.generation && s.process.pid != 0) continue;
    EndSessionLocked(lock, "the front end gave it up (the exit event was set)");
  }
}

// Watches the session's front end and its quiet time: the session ends when
// the front end that asked for it ends, or when no request follows an
// OpenVPN that ended by itself within kSessionIdleMs.
void SessionWatcherMain() {
  State& s = *g_state;
  PeerProcess peer;  // this thread's own: only it waits on it and closes it
  for (;;) {
    unsigned long long watched;
    int timeoutMs = -1;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      if (s.peerChanged) {
        ClosePeer(peer);
        peer = s.newPeer;
        s.newPeer = PeerProcess{};
        s.peerChanged = false;
      }
      if (!s.session) ClosePeer(peer);
      watched = s.sessionId;
      if (s.session && s.idle) {
        const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.idleSince);
        timeoutMs = quiet.count() >= kSessionIdleMs ? 0 : static_cast<int>(kSessionIdleMs - quiet.count());
      }
    }
    const PeerWait result = WaitPeer(peer, timeoutMs);
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.session || s.sessionId != watched || s.peerChanged) continue;
    if (result == PeerWait::Ended) {
      ClosePeer(peer);
      EndSessionLocked(lock, "the front end that asked for it ended");
    } else if (s.idle && Clock::now() - s.idleSince >= std::chrono::milliseconds(kSessionIdleMs)) {
      EndSessionLocked(lock, "no request followed the end of its OpenVPN");
    }
  }
}

// The server of a request: its host, port and protocol.
bool RequestServer(const TunnelCommand& command, const char** host, const char** port, const char** proto) {
  *host = *port = *proto = nullptr;
  for (int i = 0; i + 1 < command.argc; ++i) {
    if (std::strcmp(command.Arg(i), "--remote") == 0 && i + 2 < command.argc) {
      *host = command.Arg(i + 1);
      *port = command.Arg(i + 2);
    } else if (std::strcmp(command.Arg(i), "--proto") == 0) {
      *proto = command.Arg(i + 1);
    }
  }
  return *host && *port && *proto;
}

// Puts the block in force for the request's server before its OpenVPN starts,
// resolving the server's name first where it has one; fills address with the
// number OpenVPN is to use. With a block already in force, only DNS of root
// and of the system's resolver may leave while the name is resolved.
bool BlockForRequest(const TunnelCommand& command, const BlockSettings& settings, char* address, size_t addressSize) {
  State& s = *g_state;
  const char *host, *port, *proto;
  if (!RequestServer(command, &host, &port, &proto)) return false;
  BlockRules rules;
  rules.allowLan = settings.allowLan;
  rules.udp = std::strncmp(proto, "udp", 3) == 0;
  char* end;
  const long number = std::strtol(port, &end, 10);
  if (*end || number < 1 || number > 65535) {
    Log("cannot block outside the tunnel: the port %s is not a number", port);
    return false;
  }
  rules.port = static_cast<unsigned short>(number);
  if (IsNumericAddress(host)) {
    std::snprintf(address, addressSize, "%s", host);
  } else {
    if (s.firewall.Active()) {
      BlockRules resolving = s.rules;
      resolving.allowLan = settings.allowLan;
      resolving.resolving = true;
      resolving.resolverUid = ResolverUid();
      s.firewall.Apply(resolving, s.options.openvpn);
    }
    if (!ResolveServer(host, port, rules.udp, address, addressSize)) {
      if (s.firewall.Active()) s.firewall.Apply(s.rules, s.options.openvpn);
      return false;
    }
  }
  std::snprintf(rules.server, sizeof rules.server, "%s", address);
  const bool fresh = !s.firewall.Active();
  if (!s.firewall.Apply(rules, s.options.openvpn)) return false;
  s.rules = rules;
  if (fresh)
    Log("blocking everything outside the tunnel but OpenVPN's packets to %s port %ld%s", address, number,
        rules.allowLan ? " and the LAN" : "");
  return true;
}

}  // namespace

void Log(const char* format, ...) {
  char line[1200];
  int n = std::snprintf(line, sizeof line, "quorvanta-tunneld: ");
  va_list ap;
  va_start(ap, format);
  int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, ap);
  va_end(ap);
  size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : static_cast<size_t>(m));
  if (len > sizeof line - 2) len = sizeof line - 2;
  line[len++] = '\n';
  WriteLogLine(line, len);  // one write: lines from threads do not mix
}

namespace {

struct RefusalCount {
  char caller[sizeof CallerIdentity::name] = {};
  Clock::time_point windowStart;
  unsigned long lines = 0;
  unsigned long dropped = 0;
};

void ReportDropped(const RefusalCount& c) {
  if (c.dropped != 0) {
    Log("dropped %lu more refusal lines for %s within %d ms", c.dropped, c.caller, kRefusalWindowMs);
  }
}

}  // namespace

void LogRefused(const CallerIdentity& who, const char* format, ...) {
  const char* caller = who.name;
  static std::mutex mutex;
  static RefusalCount counts[64];
  const Clock::time_point now = Clock::now();
  // The administrator is no stranger: root's refusals are all kept.
  if (!who.privileged) {
    std::lock_guard<std::mutex> lock(mutex);
    RefusalCount* entry = nullptr;
    RefusalCount* oldest = &counts[0];
    for (RefusalCount& c : counts) {
      if (std::strncmp(c.caller, caller, sizeof c.caller) == 0) {
        entry = &c;
        break;
      }
      if (c.windowStart < oldest->windowStart) oldest = &c;
    }
    if (!entry) {
      ReportDropped(*oldest);  // the table is small: the longest quiet caller gives way
      entry = oldest;
      *entry = RefusalCount{};
      std::snprintf(entry->caller, sizeof entry->caller, "%s", caller);
      entry->windowStart = now;
    } else if (now - entry->windowStart >= std::chrono::milliseconds(kRefusalWindowMs)) {
      ReportDropped(*entry);
      entry->windowStart = now;
      entry->lines = 0;
      entry->dropped = 0;
    }
    if (entry->lines >= static_cast<unsigned long>(kRefusalBurst)) {
      entry->dropped += 1;
      return;
    }
    entry->lines += 1;
  }
  char line[1100];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  Log("%s", line);
}

bool StartSupervisor(const SupervisorOptions& options) {
  // The event is ours from the start, clear, whatever an earlier run or
  // another user left under its name.
  auto event = platform::NamedEvent::Replace(kServiceExitEvent, platform::EventReset::Manual);
  if (!event) {
    Log("cannot create the exit event %s: %s", kServiceExitEvent, LastErrorText());
    return false;
  }
  g_state = new State();
  g_state->options = options;
  g_state->exitEvent = std::move(event);
  // A killed service left its block behind: nothing must stay blocked with no session.
  Firewall::RemoveLeftovers();
  // They live as long as the service.
  static void (*bodies[])() = {&ReaperMain, &WatcherMain, &SessionWatcherMain};
  for (auto& body : bodies) {
    if (!StartWorker(
            +[](void* fn) { (*static_cast<void (**)()>(fn))(); }, &body)) {
      Log("cannot start the supervisor's threads: %s", LastErrorText());
      return false;
    }
  }
  return true;
}

bool RunTunnel(const TunnelCommand& command, const CallerIdentity& caller) {
  State& s = *g_state;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.process.pid != 0 && !MayReplace(caller, s.owner)) {
    LogRefused(caller, "refused request from %s: OpenVPN (pid %ld) runs for %s and is left alone", caller.name,
               s.process.pid, s.owner.name);
    return false;
  }
  // OpenVPN's management goes to whoever listens on the port: only the caller's own front end.
  char why[160];
  if (!ManagementListenerIsCallers(caller, why, sizeof why)) {
    LogRefused(caller, "refused request from %s: %s", caller.name, why);
    return false;
  }
  // The session follows the front end that asked: one already gone asks for nothing.
  PeerProcess peer;
  if (!OpenPeer(caller, &peer)) {
    LogRefused(caller, "refused request from %s: its process ended before the request was served", caller.name);
    return false;
  }
  StopLocked(lock, "a new tunnel request arrived");
  if (s.process.pid != 0) {
    Log("refused request: the previous OpenVPN (pid %ld) could not be stopped", s.process.pid);
    ClosePeer(peer);
    return false;
  }
  // Another user's session (a privileged caller's takeover) ends here; the caller's goes on.
  if (s.session && !SameCaller(caller, s.owner)) EndSessionLocked(lock, "another caller took the service over");
  // Set by the stop above: left set, it would end the new one at once.
  if (kStopSetsExitEvent) s.exitEvent->Reset();
  // Only the caller (and root) can set or reset the event of the session.
  if (!s.session) {
    if (!kStopSetsExitEvent) RebindLocked(&caller);
    LimitExitEvent(*s.exitEvent, &caller);
    s.session = true;
    s.sessionId += 1;
    Log("a session begins for %s", caller.name);
  }
  s.owner = caller;
  s.requests += 1;
  s.idle = true;  // until an OpenVPN runs
  s.idleSince = Clock::now();
  ClosePeer(s.newPeer);
  s.newPeer = peer;
  s.peerChanged = true;
  WakePeerWait();
  s.changed.notify_all();

  const BlockSettings settings = ReadBlockSettings();
  char address[64] = {};
  SpawnExtras extras;
  if (settings.block) {
    if (!BlockForRequest(command, settings, address, sizeof address)) {
      Log("refused request from %s: the block outside the tunnel could not be put in force", caller.name);
      return false;
    }
    extras.block = true;
    extras.remoteHost = address;
  } else if (s.firewall.Active()) {
    s.firewall.Remove();
    if (!s.firewall.Active()) Log("lifted the block outside the tunnel: block_outside_tunnel is off");
  }

  char shown[kMaxRequestSize + 600];
  OpenVpnProcess process;
  if (!SpawnOpenVpn(s.options, command, extras, &process, shown, sizeof shown)) return false;
  s.idle = false;
  s.process = process;
  s.generation += 1;
  s.owner = caller;
  s.scramble = command.scramble;
  s.started = Clock::now();
  Log("started OpenVPN (pid %ld) for %s, exit event %s: %s", process.pid, caller.name, command.exitEvent, shown);
  s.changed.notify_all();
  return true;
}

void ServeRequest(const unsigned char* bytes, size_t size, const CallerIdentity& caller) {
  TunnelCommand command;
  if (const char* reason = ValidateTunnelRequest(bytes, size, &command)) {
    char shown[1400];
    Printable(bytes, size, shown, sizeof shown);
    LogRefused(caller, "refused request from %s (%s): %s", caller.name, reason, shown);
    return;
  }
  RunTunnel(command, caller);
}

void StopTunnel(const char* why) {
  if (!g_state) return;
  std::unique_lock<std::mutex> lock(g_state->mutex);
  EndSessionLocked(lock, why);
  StopLocked(lock, why);
  // The name goes with the service, unless something else already holds it.
  if (g_state->exitEvent->IsCurrent()) platform::RemoveNamedEvent(kServiceExitEvent);
}

}  // namespace tunneld
