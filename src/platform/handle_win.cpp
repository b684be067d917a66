#include "platform/handle.h"

#include <windows.h>

namespace platform {

void CloseFileHandle(FileHandle handle) {
  if (IsValidFileHandle(handle)) CloseHandle(handle);
}

}  // namespace platform
