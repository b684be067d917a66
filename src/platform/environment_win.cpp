#include "platform/environment.h"

// Before windows.h, whose macros carry the same names as some of its messages.
#include "runtime/well_known.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace platform {

const char* DefaultServiceEndpoint() { return kServicePipeWindows; }

// The user's temporary folder: per user on Windows, and always there.
const char* RuntimeDirectory() {
  static char path[MAX_PATH + 1];
  static std::once_flag once;
  std::call_once(once, [] {
    DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n >= sizeof path) path[0] = '\0';
  });
  return path;
}

}  // namespace platform
