#include "platform/opener.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/text_win.h"

namespace platform {

bool OpenUrl(const char* url) {
  // Tests name a command of their own that receives the address.
  const char* opener = std::getenv("QUORVANTA_OPENER");
  if (opener && *opener) {
    char line[2048];
    int n = std::snprintf(line, sizeof line, "\"%s\" \"%s\"", opener, url);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return false;
    std::wstring wideLine = WideFromUtf8(line);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (wideLine.empty() ||
        !CreateProcessW(nullptr, wideLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return false;
    // Wine starts a Unix opener without handles and a stray hThread value,
    // which must not be closed: it may be one of ours.
    if (pi.hProcess) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);  // never waited for
    }
    return true;
  }
  wchar_t wide[2048];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url, -1, wide, 2048) == 0) return false;
  HINSTANCE result = ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform
