#include "supervisor.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "openvpn_process.h"
#include "platform/named_event.h"

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
  // The event bound to the name now; replaced at each start and end where the
  // system allows, and then set once so the watcher moves to the new one.
  std::shared_ptr<platform::NamedEvent> exitEvent;
};

State* g_state = nullptr;

// Binds the name to a new event for owner (none: open to every user). The old
// one only wakes the watcher now; the mappings that others hold of it lead
// nowhere.
void RebindLocked(const CallerIdentity* owner) {
  State& s = *g_state;
  std::shared_ptr<platform::NamedEvent> fresh = BindExitEvent(owner);
  if (!fresh) {
    if (owner) Log("cannot bind the exit event %s to %s: %s; its old event stays", kServiceExitEvent, owner->name,
                   LastErrorText());
    return;
  }
  std::shared_ptr<platform::NamedEvent> old = std::move(s.exitEvent);
  s.exitEvent = std::move(fresh);
  if (old) old->Set();
}

// Waits for the OpenVPN with this generation to be reaped, at most timeout.
bool WaitGone(std::unique_lock<std::mutex>& lock, unsigned long long generation,
              std::chrono::milliseconds timeout) {
  State& s = *g_state;
  return s.changed.wait_for(lock, timeout,
                            [&] { return s.process.pid == 0 || s.generation != generation; });
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
    Log("OpenVPN (pid %ld) did not exit within %d ms of %s; %s", process.pid, s.options.stopTimeoutMs,
        kAskToExitName, kForceEndAction);
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
    // The name goes back to every user, as between tunnels.
    if (!kStopSetsExitEvent) RebindLocked(nullptr);
    LimitExitEvent(*s.exitEvent, nullptr);
    s.changed.notify_all();
  }
}

// Blocks on the exit event; when it is set, stops the running OpenVPN. A set
// event is acted on once per started OpenVPN: the front end resets it before
// every request.
void WatcherMain() {
  State& s = *g_state;
  unsigned long long handled = 0;  // last generation dealt with
  for (;;) {
    std::shared_ptr<platform::NamedEvent> event;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, [&] { return s.process.pid != 0 && s.generation > handled; });
      event = s.exitEvent;
    }
    event->Wait(-1);
    std::unique_lock<std::mutex> lock(s.mutex);
    // Rebound meanwhile: the set came from the rebinding, watch the new event.
    if (event != s.exitEvent) continue;
    // Reset again already: the front end is starting the next tunnel, and
    // its request stops the old OpenVPN anyway.
    if (!event->Wait(0)) continue;
    handled = s.generation;
    // A stop under way may have set the event itself: one stop is enough.
    if (s.process.pid != 0 && s.stopping != s.generation) StopLocked(lock, "the exit event was set");
  }
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
  std::thread(ReaperMain).detach();
  std::thread(WatcherMain).detach();
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
  StopLocked(lock, "a new tunnel request arrived");
  if (s.process.pid != 0) {
    Log("refused request: the previous OpenVPN (pid %ld) could not be stopped", s.process.pid);
    return false;
  }
  // Set by the stop above: left set, it would end the new one at once.
  if (kStopSetsExitEvent) s.exitEvent->Reset();
  // Only the caller (and root) can set or reset the event of the tunnel to come.
  if (!kStopSetsExitEvent) RebindLocked(&caller);
  LimitExitEvent(*s.exitEvent, &caller);

  char shown[kMaxRequestSize + 600];
  OpenVpnProcess process;
  if (!SpawnOpenVpn(s.options, command, &process, shown, sizeof shown)) {
    if (!kStopSetsExitEvent) RebindLocked(nullptr);
    LimitExitEvent(*s.exitEvent, nullptr);
    return false;
  }
  s.process = process;
  s.generation += 1;
  s.owner = caller;
  s.scramble = command.scramble;
  s.started = Clock::now();
  Log("started OpenVPN (pid %ld) for %s, exit event %s: %s", process.pid, caller.name, command.exitEvent,
      shown);
  s.changed.notify_all();
  return true;
}

void StopTunnel(const char* why) {
  if (!g_state) return;
  std::unique_lock<std::mutex> lock(g_state->mutex);
  StopLocked(lock, why);
  // The name goes with the service, unless something else already holds it.
  if (g_state->exitEvent->IsCurrent()) platform::RemoveNamedEvent(kServiceExitEvent);
}

}  // namespace tunneld
