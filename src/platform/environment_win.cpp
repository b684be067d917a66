#include "platform/environment.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/text_win.h"

namespace platform {

const char* DefaultServiceEndpoint() { return kServicePipeWindows; }

// The user's temporary folder: per user on Windows, and always there.
const char* RuntimeDirectory() {
  static char path[MAX_PATH + 1];
  static std::once_flag once;
  std::call_once(once, [] {
    wchar_t wide[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, wide);
    const std::string utf8 = n == 0 || n > MAX_PATH ? std::string() : Utf8FromWide(wide);
    if (std::snprintf(path, sizeof path, "%s", utf8.c_str()) >= static_cast<int>(sizeof path)) path[0] = '\0';
  });
  return path;
}

}  // namespace platform
