#include "platform/recursive_lock.h"

// WaitOnAddress came with Windows 8; the program needs Windows 10 anyway.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>

namespace platform {

void WaitWhileEqual(std::atomic<int>& word, int value) {
  WaitOnAddress(reinterpret_cast<volatile void*>(&word), &value, sizeof value, INFINITE);
}

void WakeOneWaiter(std::atomic<int>& word) { WakeByAddressSingle(reinterpret_cast<void*>(&word)); }

}  // namespace platform
