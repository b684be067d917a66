#include "platform/named_mutex.h"

#include <windows.h>

#include "platform/text_win.h"

namespace platform {

NamedMutexResult CreateNamedMutex(const char* name) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, WideFromUtf8(name).c_str());
  if (!mutex) return NamedMutexResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return NamedMutexResult::AlreadyExists;
  }
  return NamedMutexResult::Created;  // the handle stays open for the process's life
}

}  // namespace platform
