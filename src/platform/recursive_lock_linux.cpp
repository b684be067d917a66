#include "platform/recursive_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

void WaitWhileEqual(std::atomic<int>& word, int value) {
  syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void WakeOneWaiter(std::atomic<int>& word) {
  syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace platform
