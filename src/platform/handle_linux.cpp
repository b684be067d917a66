#include "platform/handle.h"

#include <unistd.h>

namespace platform {

void CloseFileHandle(FileHandle handle) {
  if (handle >= 0) close(handle);
}

}  // namespace platform
