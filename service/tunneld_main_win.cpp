// quorvanta-tunneld on Windows: the QuorvantaTunnel service (or, with
// --console, the same in a console). Serves the named pipe, accepts one tunnel
// request per connection and runs OpenVPN with it. This file is the service's
// control: the service manager or the console, and the order of start and stop.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "pipe_server_win.h"
#include "service_install_win.h"
#include "service_log_win.h"
#include "supervisor.h"
#include "tunneld_options_win.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>

#include "platform/text_win.h"
#include <shellapi.h>

using tunneld::Log;

namespace {

tunneld::ServiceOptions g_options;
HANDLE g_stop = nullptr;          // set to end the service or the console run
void (*g_onServing)() = nullptr;  // tells the service manager we are running

// Everything a run needs: the pipe, the supervisor, then waiting for g_stop.
int Run() {
  char configFile[MAX_PATH + 20];
  std::snprintf(configFile, sizeof configFile, "%s\\config.qvpn", g_options.configDir);
  if (GetFileAttributesW(platform::WideFromUtf8(configFile).c_str()) == INVALID_FILE_ATTRIBUTES)
    Log("warning: %s does not exist", configFile);
  if (GetFileAttributesW(platform::WideFromUtf8(g_options.openvpn).c_str()) == INVALID_FILE_ATTRIBUTES) {
    Log("warning: %s does not exist", g_options.openvpn);
  }
  if (!tunneld::OpenPipe(g_options.pipe)) return 1;
  if (!tunneld::StartSupervisor({g_options.openvpn, g_options.configDir, g_options.stopTimeoutMs, nullptr, nullptr})) {
    tunneld::ClosePipe();
    return 1;
  }
  if (!tunneld::ServePipe()) return 1;
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
  if (!tunneld::ParseOptions(argc, argv.data(), &g_options)) {
    tunneld::Usage(stderr);
    return 2;
  }
  if (g_options.mode == tunneld::Mode::Install) return tunneld::Install();
  if (g_options.mode == tunneld::Mode::Uninstall) return tunneld::Uninstall();
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stop) return 1;
  if (g_options.mode == tunneld::Mode::Console) {
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
