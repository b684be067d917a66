// Windows half of the supervisor: CreateProcessW in the configuration
// directory, the exit event then TerminateProcess, the process handle to wait
// on. The log goes to the event log when the service manager runs us.

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "command_line.h"
#include "openvpn_process.h"
#include "service_log_win.h"
#include "tunnel/service_request.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>
#include "platform/account_win.h"

namespace tunneld {

const char* const kAskToExitName = "setting the exit event";
const char* const kForceEndAction = "terminating it";
const char* const kForceEndName = "TerminateProcess";
const bool kStopSetsExitEvent = true;

namespace {

constexpr DWORD kStartupFailureWindowMs = 3000;
constexpr DWORD kTerminatedExitCode = 0xC000013A;  // what TerminateProcess leaves, as a console would

bool Widen(const char* text, wchar_t* out, int outCount) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, outCount) > 0;
}

}  // namespace

const char* LastErrorText() {
  static thread_local char text[256];
  const DWORD code = GetLastError();
  wchar_t wide[200];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, wide,
                           sizeof wide / sizeof wide[0], nullptr);
  while (n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L'.')) wide[--n] = L'\0';
  char message[200] = {};
  if (n == 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, message, sizeof message, nullptr, nullptr) <= 0) {
    std::snprintf(message, sizeof message, "system error");
  }
  std::snprintf(text, sizeof text, "%s (error %lu)", message, static_cast<unsigned long>(code));
  return text;
}

void WriteLogLine(const char* line, size_t size) { WriteServiceLog(line, size); }

bool SpawnOpenVpn(const SupervisorOptions& options, const TunnelCommand& command, const SpawnExtras& extras,
                  OpenVpnProcess* out, char* shown, size_t shownSize) {
  // OpenVPN on Windows watches the exit event itself: "--service NAME 1" goes
  // through as the front end wrote it, in front of the rest.
  char line[kMaxRequestSize + 600];
  size_t used = 0;
  bool fits = AppendWindowsArgument(options.openvpn, line, sizeof line, &used) &&
              AppendWindowsArgument("--service", line, sizeof line, &used) &&
              AppendWindowsArgument(command.exitEvent, line, sizeof line, &used) &&
              AppendWindowsArgument("1", line, sizeof line, &used);
  // The filters permit OpenVPN by its program, so only the server's address changes under the block.
  for (int i = 0; fits && i < command.argc; ++i) {
    const bool host = i > 0 && std::strcmp(command.Arg(i - 1), "--remote") == 0;
    fits =
        AppendWindowsArgument(host && extras.remoteHost ? extras.remoteHost : command.Arg(i), line, sizeof line, &used);
  }
  if (!fits) {
    Log("cannot start OpenVPN: its command line is too long");
    return false;
  }
  std::snprintf(shown, shownSize, "%s", line);

  wchar_t wideLine[kMaxRequestSize + 600];
  wchar_t application[MAX_PATH + 1];
  wchar_t directory[MAX_PATH + 1];
  if (!Widen(line, wideLine, sizeof wideLine / sizeof wideLine[0]) ||
      !Widen(options.openvpn, application, MAX_PATH + 1) || !Widen(options.configDir, directory, MAX_PATH + 1)) {
    Log("cannot start OpenVPN: a path or the command line is not valid UTF-8 or too long");
    return false;
  }
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  // The application name is given, so no search path and no shell decide
  // which program runs; handles are not inherited.
  if (!CreateProcessW(application, wideLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, directory, &startup,
                      &info)) {
    const DWORD error = GetLastError();
    Log("cannot start %s in %s: %s", options.openvpn, options.configDir, LastErrorText());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      Log("OpenVPN 2.6 must be installed: install it from openvpn.net (its installer records its program "
          "under HKLM\\SOFTWARE\\OpenVPN exe_path), or give --openvpn");
    return false;
  }
  CloseHandle(info.hThread);
  out->pid = static_cast<long>(info.dwProcessId);
  out->native = reinterpret_cast<std::uintptr_t>(info.hProcess);
  return true;
}

// The service keeps one event for good: OpenVPN opens it by its name itself.
std::unique_ptr<platform::NamedEvent> BindExitEvent(const CallerIdentity*) { return nullptr; }

// The event's name is OpenVPN's to open, so the name keeps its one event;
// who may newly open it follows the tunnel's owner. Handles opened earlier
// (every running front end holds one) keep their rights.
void LimitExitEvent(platform::NamedEvent& event, const CallerIdentity* owner) {
  const char* sid = owner && std::strncmp(owner->name, "user ", 5) == 0 ? owner->name + 5 : nullptr;
  if (!event.RestrictTo(sid))
    Log("cannot limit the exit event %s to %s: %s", kServiceExitEvent, sid ? sid : "every user", LastErrorText());
}

bool ManagementListenerIsCallers(const CallerIdentity& caller, char* why, size_t whySize) {
  char owners[8][platform::kSidTextSize];
  int count = 0;
  if (!platform::LoopbackListenerSids(ManagementPort, owners, 8, &count)) {
    std::snprintf(why, whySize, "the listeners on 127.0.0.1:%hu cannot be looked up: %s", ManagementPort,
                  LastErrorText());
    return false;
  }
  if (count == 0) {
    std::snprintf(why, whySize, "nothing listens on 127.0.0.1:%hu for OpenVPN's management", ManagementPort);
    return false;
  }
  if (count > 8) {
    std::snprintf(why, whySize, "%d sockets listen on 127.0.0.1:%hu", count, ManagementPort);
    return false;
  }
  const char* callerSid = std::strncmp(caller.name, "user ", 5) == 0 ? caller.name + 5 : "";
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(owners[i], platform::kLocalSystemSid) == 0) continue;
    if (!owners[i][0]) {
      std::snprintf(why, whySize, "the owner of a listener on 127.0.0.1:%hu cannot be found", ManagementPort);
      return false;
    }
    if (std::strcmp(owners[i], callerSid) != 0) {
      std::snprintf(why, whySize, "127.0.0.1:%hu is held by %s, not by the caller", ManagementPort, owners[i]);
      return false;
    }
  }
  return true;
}

// OpenVPN applies pushed DNS to its adapter itself on Windows.
void UndoDns(const SupervisorOptions&) {}

namespace {

// Wakes the session's watcher; made once, before any thread waits on it.
HANDLE WakeEvent() {
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

}  // namespace

bool OpenPeer(const CallerIdentity& caller, PeerProcess* out) {
  WakeEvent();
  if (caller.pid <= 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(caller.pid));
  if (!process) return false;
  // Opened after the caller could have ended and its id been reused: the
  // process behind the handle must be alive and the caller's user's.
  char sid[platform::kSidTextSize];
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  if (!alive || !platform::ProcessUserSid(static_cast<unsigned long>(caller.pid), sid, sizeof sid) ||
      std::strncmp(caller.name, "user ", 5) != 0 || std::strcmp(caller.name + 5, sid) != 0) {
    CloseHandle(process);
    return false;
  }
  out->pid = caller.pid;
  out->native = reinterpret_cast<std::uintptr_t>(process);
  return true;
}

void ClosePeer(PeerProcess& peer) {
  if (peer.pid != 0) CloseHandle(reinterpret_cast<HANDLE>(peer.native));
  peer = PeerProcess{};
}

PeerWait WaitPeer(const PeerProcess& peer, int timeoutMs) {
  HANDLE handles[2] = {WakeEvent(), reinterpret_cast<HANDLE>(peer.native)};
  const DWORD count = peer.pid != 0 ? 2 : 1;
  const DWORD result =
      WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (result == WAIT_TIMEOUT) return PeerWait::TimedOut;
  if (result == WAIT_OBJECT_0 + 1) return PeerWait::Ended;
  return PeerWait::Woken;
}

void WakePeerWait() { SetEvent(WakeEvent()); }

void AskToExit(const OpenVpnProcess&) {
  // The supervisor has set the exit event already: that is the request.
}

void ForceEnd(const OpenVpnProcess& process) {
  TerminateProcess(reinterpret_cast<HANDLE>(process.native), kTerminatedExitCode);
}

void WaitEnded(const OpenVpnProcess& process) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(process.native), INFINITE);
}

void Reap(const OpenVpnProcess& process, bool scramble, std::chrono::steady_clock::duration lived) {
  HANDLE handle = reinterpret_cast<HANDLE>(process.native);
  DWORD code = 0;
  if (!GetExitCodeProcess(handle, &code)) code = 0xFFFFFFFF;
  CloseHandle(handle);
  const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(lived).count());
  if (code == kTerminatedExitCode) {
    Log("OpenVPN (pid %ld) was terminated after %ld ms", process.pid, ms);
    return;
  }
  Log("OpenVPN (pid %ld) exited with status %lu after %ld ms", process.pid, static_cast<unsigned long>(code), ms);
  if (code == 1 && ms < static_cast<long>(kStartupFailureWindowMs)) {
    if (scramble) {
      Log("OpenVPN refused to start on a request with --scramble: this OpenVPN build most likely "
          "lacks the --scramble option (its own message is in its log)");
    } else {
      Log("OpenVPN refused to start: see its own log");
    }
  }
}

}  // namespace tunneld
