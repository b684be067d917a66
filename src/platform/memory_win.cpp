#include "platform/memory.h"

#include <malloc.h>
#include <windows.h>

namespace platform {

void ReleaseFreeMemory() { _heapmin(); }

// Trimming the working set lets the system page clean code out until it is used again.
void ReleaseCodePages() {
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
}

}  // namespace platform
