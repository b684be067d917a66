#include "service_install_win.h"

#include <cstdio>
#include <cwchar>

#include "service_log_win.h"
#include "tunneld_options_win.h"

namespace tunneld {

namespace {

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

}  // namespace

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

}  // namespace tunneld
