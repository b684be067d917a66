#include "service_log_win.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace tunneld {

namespace {

constexpr DWORD kServiceLineEvent = 1;  // MSG_SERVICE_LINE of tunneld_messages.mc

std::atomic<HANDLE> g_eventSource{nullptr};

}  // namespace

bool UseEventLog() {
  HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
  if (!source) return false;
  g_eventSource.store(source);
  return true;
}

void WriteServiceLog(const char* line, size_t size) {
  HANDLE source = g_eventSource.load();
  if (!source) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(size), &written, nullptr);
    return;
  }
  wchar_t wide[1300];
  int n = MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(size), wide, 1299);
  if (n <= 0) return;
  while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r')) --n;
  wide[n] = L'\0';
  const wchar_t* strings[] = {wide};
  const WORD type =
      wcsstr(wide, L"refused") || wcsstr(wide, L"cannot") ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
  // Event 1 of the program's message table is the line itself.
  ReportEventW(source, type, 0, kServiceLineEvent, nullptr, 1, 0, strings, nullptr);
}

}  // namespace tunneld
