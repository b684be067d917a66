#include "platform/named_mutex.h"

#include <windows.h>

namespace platform {

NamedMutexResult CreateNamedMutex(const char* name) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex) return NamedMutexResult::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return NamedMutexResult::AlreadyExists;
  }
  return NamedMutexResult::Created;  // the handle stays open for the process's life
}

}  // namespace platform
