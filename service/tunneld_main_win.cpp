// quorvanta-tunneld on Windows: the QuorvantaTunnel service (or, with
// --console, the same in a console). Serves the named pipe, accepts one tunnel
// request per connection and runs OpenVPN with it.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#include <mutex>

#include "caller_identity.h"
#include "platform/environment.h"
#include "openvpn_lookup.h"
#include "platform/thread.h"
#include "request_validator.h"
#include "service_log_win.h"
#include "supervisor.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>
#include <sddl.h>

#include "platform/account_win.h"
#include "platform/text_win.h"
#include <shellapi.h>

using tunneld::kDefaultStopTimeoutMs;
using tunneld::kMaxConnections;
using tunneld::kMaxPerUser;
using tunneld::kRequestTimeoutMs;
using tunneld::Log;
using tunneld::LogRefused;

namespace {

// System and administrators have everything; interactive users may write
// requests (the front end opens the pipe with GENERIC_WRITE); network logons
// are denied outright. GENERIC_WRITE on a pipe includes the right to add
// instances, so the service keeps every instance the pipe may have: nobody
// else can serve its name while it runs.
constexpr const wchar_t* kPipeSecurity = L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

// Instances of the pipe, all made at start and each served by a thread of its
// own for the life of the service. More than one caller's share (kMaxPerUser),
// so that one caller holding all of his still leaves room for the others.
constexpr int kPipeInstances = 16;
static_assert(kPipeInstances > kMaxPerUser && kPipeInstances <= kMaxConnections);

enum class Mode { Service, Console, Install, Uninstall };

struct Options {
  Mode mode = Mode::Service;
  char pipe[256] = {};
  char configDir[MAX_PATH] = {};
  char openvpn[MAX_PATH] = {};
  int stopTimeoutMs = kDefaultStopTimeoutMs;
};

Options g_options;

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: quorvanta-tunneld.exe [--console | --install | --uninstall] [--pipe NAME]\n"
               "                             [--config-dir DIR] [--openvpn PATH] [--stop-timeout MS]\n"
               "  (no mode)     run as the QuorvantaTunnel service (the service manager starts it so)\n"
               "  --console     run in this console; Ctrl+C stops it\n"
               "  --install     register the QuorvantaTunnel service (automatic start, LocalSystem)\n"
               "  --uninstall   remove the QuorvantaTunnel service\n"
               "  --pipe        the service pipe (also --socket; default %%QUORVANTA_PIPE%%, else "
               "\\\\.\\pipe\\QuorvantaPipe)\n"
               "  --config-dir  where config.qvpn lives; OpenVPN runs there (default: this program's folder)\n"
               "  --openvpn     the OpenVPN program (default: openvpn.exe in the config dir)\n"
               "  --stop-timeout  how long OpenVPN may take to exit after its exit event is set before it\n"
               "                is terminated (default 5000)\n");
}

bool ProgramPath(wchar_t* out, DWORD count) {
  DWORD n = GetModuleFileNameW(nullptr, out, count);
  return n > 0 && n < count;
}

bool Narrow(const wchar_t* wide, char* out, int size) {
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, nullptr, nullptr) > 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  const char* env = std::getenv("QUORVANTA_PIPE");
  std::snprintf(o->pipe, sizeof o->pipe, "%s", env && *env ? env : platform::DefaultServiceEndpoint());
  bool dirGiven = false, openvpnGiven = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0 || std::strcmp(a, "/?") == 0) {
      Usage(stdout);
      std::exit(0);
    }
    if (std::strcmp(a, "--console") == 0) {
      o->mode = Mode::Console;
      continue;
    }
    if (std::strcmp(a, "--install") == 0) {
      o->mode = Mode::Install;
      continue;
    }
    if (std::strcmp(a, "--uninstall") == 0) {
      o->mode = Mode::Uninstall;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    int w = 0;
    if (std::strcmp(a, "--pipe") == 0 || std::strcmp(a, "--socket") == 0) {
      w = std::snprintf(o->pipe, sizeof o->pipe, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->pipe) return false;
    } else if (std::strcmp(a, "--config-dir") == 0) {
      w = std::snprintf(o->configDir, sizeof o->configDir, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->configDir) return false;
      dirGiven = true;
    } else if (std::strcmp(a, "--openvpn") == 0) {
      w = std::snprintf(o->openvpn, sizeof o->openvpn, "%s", v);
      if (w < 0 || static_cast<size_t>(w) >= sizeof o->openvpn) return false;
      openvpnGiven = true;
    } else if (std::strcmp(a, "--stop-timeout") == 0) {
      char* end;
      long ms = std::strtol(v, &end, 10);
      if (*end || ms < 1 || ms > 600000) return false;
      o->stopTimeoutMs = static_cast<int>(ms);
    } else {
      return false;
    }
  }
  if (!dirGiven) {
    // The installer puts the program, OpenVPN and config.qvpn in one folder.
    wchar_t path[MAX_PATH];
    if (!ProgramPath(path, MAX_PATH)) return false;
    if (wchar_t* slash = std::wcsrchr(path, L'\\')) *slash = L'\0';
    if (!Narrow(path, o->configDir, sizeof o->configDir)) return false;
  }
  if (!openvpnGiven) {
    int w = std::snprintf(o->openvpn, sizeof o->openvpn, "%s\\openvpn.exe", o->configDir);
    if (w < 0 || static_cast<size_t>(w) >= sizeof o->openvpn) return false;
    // None beside config.qvpn: the one OpenVPN's own installer recorded.
    if (GetFileAttributesW(platform::WideFromUtf8(o->openvpn).c_str()) == INVALID_FILE_ATTRIBUTES)
      tunneld::InstalledOpenVpn(o->openvpn, sizeof o->openvpn);
  }
  return true;
}

// --- Install and uninstall ---------------------------------------------------

const char* ManagerError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return "access denied: run this from an administrator's command prompt";
    case ERROR_SERVICE_EXISTS:
      return "the QuorvantaTunnel service is already installed";
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return "the QuorvantaTunnel service is not installed";
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      return "the QuorvantaTunnel service is already marked for removal; restart Windows to finish it";
    default:
      return nullptr;
  }
}

int ReportManagerFailure(const char* what) {
  const DWORD code = GetLastError();
  if (const char* text = ManagerError(code)) {
    std::fprintf(stderr, "quorvanta-tunneld: %s\n", text);
  } else {
    std::fprintf(stderr, "quorvanta-tunneld: %s failed (error %lu)\n", what, static_cast<unsigned long>(code));
  }
  return code == ERROR_SERVICE_EXISTS || code == ERROR_SERVICE_DOES_NOT_EXIST ? 3 : 1;
}

constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuorvantaTunnel";

// Event Viewer shows the service's lines through this program's message table.
bool AddEventSource(const wchar_t* program) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool ok = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program),
                                 static_cast<DWORD>((std::wcslen(program) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                  RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                 sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

int Install() {
  wchar_t path[MAX_PATH];
  if (!ProgramPath(path, MAX_PATH)) {
    std::fprintf(stderr, "quorvanta-tunneld: cannot find this program's own path\n");
    return 1;
  }
  // Quoted: an unquoted path with blanks lets another program run instead.
  wchar_t binary[MAX_PATH + 3];
  std::swprintf(binary, MAX_PATH + 3, L"\"%ls\"", path);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (!manager) return ReportManagerFailure("OpenSCManager");
  SC_HANDLE service =
      CreateServiceW(manager, tunneld::kServiceName, L"Quorvanta Tunnel", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!service) {
    int rc = ReportManagerFailure("CreateService");
    CloseServiceHandle(manager);
    return rc;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  std::printf("quorvanta-tunneld: installed the QuorvantaTunnel service (%ls)\n", binary);
  if (!AddEventSource(path))
    std::fprintf(stderr,
                 "quorvanta-tunneld: the event log source could not be registered (error %lu); "
                 "Event Viewer will show the service's lines without their text\n",
                 static_cast<unsigned long>(GetLastError()));
  return 0;
}

int Uninstall() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return ReportManagerFailure("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, tunneld::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) {
    int rc = ReportManagerFailure("OpenService");
    CloseServiceHandle(manager);
    return rc;
  }
  SERVICE_STATUS status;
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    std::printf("quorvanta-tunneld: asked the running service to stop\n");
  }
  int rc = 0;
  if (!DeleteService(service)) {
    rc = ReportManagerFailure("DeleteService");
  } else {
    std::printf("quorvanta-tunneld: removed the QuorvantaTunnel service\n");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

// --- Callers -----------------------------------------------------------------

bool HasEnabledGroup(HANDLE token, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(type, nullptr, sid, &sidSize)) return false;
  alignas(TOKEN_GROUPS) BYTE buffer[8192];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &size)) return false;
  const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer);
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) && EqualSid(groups->Groups[i].Sid, sid)) return true;
  }
  return false;
}

// The user of a token in the service's naming, and whether it may replace
// anyone's OpenVPN.
bool IdentityOfToken(HANDLE token, tunneld::CallerIdentity* caller) {
  char sid[platform::kSidTextSize];
  if (!platform::TokenUserSid(token, sid, sizeof sid)) return false;
  std::snprintf(caller->name, sizeof caller->name, "user %s", sid);
  caller->privileged =
      std::strcmp(sid, platform::kLocalSystemSid) == 0 || HasEnabledGroup(token, WinBuiltinAdministratorsSid);
  return true;
}

// Who holds the connection, by its process: good enough to count the
// connections each caller holds open, never to decide what a request may do
// (the process id may be reused by then).
bool CountingIdentity(HANDLE pipe, tunneld::CallerIdentity* caller) {
  ULONG pid = 0;
  char sid[platform::kSidTextSize];
  if (!GetNamedPipeClientProcessId(pipe, &pid) || !platform::ProcessUserSid(pid, sid, sizeof sid)) return false;
  std::snprintf(caller->name, sizeof caller->name, "user %s", sid);
  return true;
}

// The caller of a request, by impersonating the client: the system keeps the
// client's own token with the connection. Possible once its data has been read.
bool IdentifyCaller(HANDLE pipe, tunneld::CallerIdentity* caller) {
  if (!ImpersonateNamedPipeClient(pipe)) return false;
  HANDLE token = nullptr;
  bool ok = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
  const DWORD error = GetLastError();
  // Back to the service's own rights before anything else runs on this thread.
  if (!RevertToSelf()) {
    Log("cannot stop impersonating a client (error %lu); the service stops",
        static_cast<unsigned long>(GetLastError()));
    ExitProcess(1);
  }
  if (ok) {
    ok = IdentityOfToken(token, caller);
    CloseHandle(token);
  } else {
    SetLastError(error);
  }
  // The session watches the process that asked; the service checks that it is the caller's.
  ULONG pid = 0;
  if (ok && GetNamedPipeClientProcessId(pipe, &pid)) caller->pid = static_cast<long>(pid);
  return ok;
}

// --- Connections -------------------------------------------------------------

// Open connections per caller and in all; a caller over its share or a full
// table is turned away at once.
std::mutex g_slotsMutex;
int g_open = 0;
struct Slot {
  char name[sizeof(tunneld::CallerIdentity::name)];
  int count;
};
Slot g_slots[kMaxConnections];

bool TakeSlot(const tunneld::CallerIdentity& caller) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  if (g_open >= kMaxConnections) {
    LogRefused(caller, "refused connection from %s: %d connections are open", caller.name, kMaxConnections);
    return false;
  }
  Slot* free = nullptr;
  for (Slot& s : g_slots) {
    if (s.count > 0 && std::strcmp(s.name, caller.name) == 0) {
      if (s.count >= kMaxPerUser) {
        LogRefused(caller, "refused connection from %s: it already holds %d open connections", caller.name, s.count);
        return false;
      }
      ++s.count;
      ++g_open;
      return true;
    }
    if (s.count == 0 && !free) free = &s;
  }
  std::snprintf(free->name, sizeof free->name, "%s", caller.name);
  free->count = 1;
  ++g_open;
  return true;
}

void GiveSlot(const tunneld::CallerIdentity& caller) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  for (Slot& s : g_slots) {
    if (s.count > 0 && std::strcmp(s.name, caller.name) == 0) {
      --s.count;
      --g_open;
      return;
    }
  }
}

// Reads one request until the client closes its end, at most until the
// deadline; the read in progress is cancelled when the deadline passes. The
// instance is disconnected and kept for the next client.
void Serve(HANDLE pipe, HANDLE done, const tunneld::CallerIdentity& counted) {
  unsigned char buf[tunneld::kMaxRequestSize + 1];
  size_t size = 0;
  const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
  bool finished = false, failed = false;
  while (!failed && !finished) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = done;
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, buf + size, static_cast<DWORD>(sizeof buf - size), &got, &ov);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      if (WaitForSingleObject(done, left) != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
      ok = GetOverlappedResult(pipe, &ov, &got, TRUE);
      err = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (ok) {
      size += got;
      if (size > tunneld::kMaxRequestSize) {
        LogRefused(counted, "refused request from %s: longer than %lu bytes", counted.name,
                   static_cast<unsigned long>(tunneld::kMaxRequestSize));
        failed = true;
      }
    } else if (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) {
      finished = true;  // the client's end of file
    } else if (err == ERROR_OPERATION_ABORTED) {
      LogRefused(counted, "refused request from %s: the client did not finish within %lu ms (%lu bytes read)",
                 counted.name, static_cast<unsigned long>(kRequestTimeoutMs), static_cast<unsigned long>(size));
      failed = true;
    } else if (err != ERROR_MORE_DATA) {
      LogRefused(counted, "refused request from %s: read failed (error %lu)", counted.name,
                 static_cast<unsigned long>(err));
      failed = true;
    } else {
      size += got;
    }
  }
  // size 0: the probe, which needs no identity.
  tunneld::CallerIdentity caller;
  const bool wanted = !failed && size > 0;
  const bool identified = wanted && IdentifyCaller(pipe, &caller);
  const DWORD identifyError = GetLastError();
  DisconnectNamedPipe(pipe);
  GiveSlot(counted);
  if (!wanted) return;
  if (!identified) {
    LogRefused(counted, "refused request from %s: the caller cannot be identified (error %lu)", counted.name,
               static_cast<unsigned long>(identifyError));
    return;
  }
  tunneld::TunnelCommand command;
  if (const char* reason = tunneld::ValidateTunnelRequest(buf, size, &command)) {
    char shown[1400];
    tunneld::Printable(buf, size, shown, sizeof shown);
    LogRefused(caller, "refused request from %s (%s): %s", caller.name, reason, shown);
    return;
  }
  tunneld::RunTunnel(command, caller);
}

HANDLE MakeInstance(const wchar_t* name, SECURITY_ATTRIBUTES* security, bool first) {
  DWORD mode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED;
  // The first instance must be ours: if someone already serves the name, stop.
  if (first) mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeW(name, mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                          kPipeInstances, 0, tunneld::kMaxRequestSize + 1, 0, security);
}

// One instance's life: take a client, serve it, disconnect, take the next.
// The handle is never closed, so the instance is never free for anyone else.
void ServeInstance(HANDLE pipe) {
  HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!connected || !done) {
    Log("cannot serve an instance of the pipe: no event (error %lu)", static_cast<unsigned long>(GetLastError()));
    return;  // the instance stays ours, unserved
  }
  for (;;) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = connected;
    BOOL ok = ConnectNamedPipe(pipe, &ov);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
      DWORD ignored = 0;
      ok = GetOverlappedResult(pipe, &ov, &ignored, TRUE);
      err = ok ? ERROR_SUCCESS : GetLastError();
    }
    // ERROR_NO_DATA: the client has written and closed already; what it wrote is still there.
    if (!ok && err != ERROR_PIPE_CONNECTED && err != ERROR_NO_DATA) {
      Log("a connection failed before it was served (error %lu)", static_cast<unsigned long>(err));
      DisconnectNamedPipe(pipe);
      Sleep(100);  // a failing instance must not spin
      continue;
    }
    tunneld::CallerIdentity counted;
    if (!CountingIdentity(pipe, &counted)) std::snprintf(counted.name, sizeof counted.name, "an unknown process");
    if (!TakeSlot(counted)) {
      DisconnectNamedPipe(pipe);
      continue;
    }
    Serve(pipe, done, counted);
  }
}

HANDLE g_stop = nullptr;          // set to end the service or the console run
void (*g_onServing)() = nullptr;  // tells the service manager we are running
wchar_t g_pipeName[256];

// Everything a run needs: the pipe, the supervisor, then waiting for g_stop.
int Run() {
  wchar_t* name = g_pipeName;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, g_options.pipe, -1, name, 256) <= 0) {
    Log("the pipe name is not valid: %s", g_options.pipe);
    return 1;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
    Log("cannot build the pipe's security descriptor (error %lu)", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  static SECURITY_ATTRIBUTES security;
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = descriptor;
  security.bInheritHandle = FALSE;
  char configFile[MAX_PATH + 20];
  std::snprintf(configFile, sizeof configFile, "%s\\config.qvpn", g_options.configDir);
  if (GetFileAttributesW(platform::WideFromUtf8(configFile).c_str()) == INVALID_FILE_ATTRIBUTES)
    Log("warning: %s does not exist", configFile);
  if (GetFileAttributesW(platform::WideFromUtf8(g_options.openvpn).c_str()) == INVALID_FILE_ATTRIBUTES) {
    Log("warning: %s does not exist", g_options.openvpn);
  }
  HANDLE instances[kPipeInstances];
  for (int i = 0; i < kPipeInstances; ++i) {
    instances[i] = MakeInstance(name, &security, i == 0);
    if (instances[i] != INVALID_HANDLE_VALUE) continue;
    const DWORD err = GetLastError();
    if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
      Log("another program is already serving %s", g_options.pipe);
    } else {
      Log("cannot create the pipe %s (error %lu)", g_options.pipe, static_cast<unsigned long>(err));
    }
    for (int j = 0; j < i; ++j) CloseHandle(instances[j]);
    return 1;
  }
  if (!tunneld::StartSupervisor({g_options.openvpn, g_options.configDir, g_options.stopTimeoutMs, nullptr, nullptr})) {
    for (HANDLE instance : instances) CloseHandle(instance);
    return 1;
  }
  // Plain Win32 threads: under Wine a detached std::thread started while
  // another one ends sometimes never runs at all.
  int serving = 0;
  for (HANDLE instance : instances) {
    if (platform::StartDetachedThread(
            +[](void* pipe) { ServeInstance(static_cast<HANDLE>(pipe)); }, instance))
      ++serving;
  }
  if (serving == 0) {
    Log("cannot start a thread to serve the pipe (error %lu)", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  Log("serving %s; OpenVPN %s in %s", g_options.pipe, g_options.openvpn, g_options.configDir);
  if (g_onServing) g_onServing();
  WaitForSingleObject(g_stop, INFINITE);
  tunneld::StopTunnel("the service is stopping");
  return 0;
}

BOOL WINAPI ConsoleHandler(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    Log("%s received; shutting down", type == CTRL_C_EVENT ? "Ctrl+C" : "a console close");
    SetEvent(g_stop);
    return TRUE;
  }
  return FALSE;
}

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;

std::mutex g_statusMutex;  // the control handler and ServiceMain both report

void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHintMs) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwWaitHint = waitHintMs;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    // Stopping OpenVPN may take the stop timeout twice over.
    ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, static_cast<DWORD>(g_options.stopTimeoutMs) * 2 + 1000);
    SetEvent(g_stop);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(tunneld::kServiceName, ServiceControl, nullptr);
  if (!g_statusHandle) return;
  tunneld::UseEventLog();
  ReportStatus(SERVICE_START_PENDING, NO_ERROR, 3000);
  g_onServing = [] { ReportStatus(SERVICE_RUNNING, NO_ERROR, 0); };
  const int rc = Run();
  ReportStatus(SERVICE_STOPPED, rc == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, 0);
}

}  // namespace

int main() {
  // The arguments as the system has them, in the program's UTF-8: paths with
  // letters outside the ANSI code page arrive whole.
  int argc = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> arguments;
  for (int i = 0; wide && i < argc; ++i) arguments.push_back(platform::Utf8FromWide(wide[i]));
  if (wide) LocalFree(wide);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  argc = static_cast<int>(arguments.size());
  if (!ParseOptions(argc, argv.data(), &g_options)) {
    Usage(stderr);
    return 2;
  }
  if (g_options.mode == Mode::Install) return Install();
  if (g_options.mode == Mode::Uninstall) return Uninstall();
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stop) return 1;
  if (g_options.mode == Mode::Console) {
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    return Run();
  }
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(tunneld::kServiceName), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr,
                   "quorvanta-tunneld: not started by the service manager; use --console to run it here, "
                   "--install to register the service, or --help\n");
      return 2;
    }
    std::fprintf(stderr, "quorvanta-tunneld: cannot reach the service manager (error %lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  return 0;
}
