#include "platform/recursive_lock.h"

#include "platform/crash_process.h"

namespace platform {

static_assert(sizeof(std::atomic<int>) == sizeof(int));

void SignalSafeRecursiveLock::Lock() {
  const int me = CurrentThreadId();
  if (owner_.load(std::memory_order_acquire) == me) {
    ++depth_;
    return;
  }
  for (;;) {
    int expected = 0;
    if (owner_.compare_exchange_strong(expected, me, std::memory_order_acquire)) break;
    // Sleeps while the word still names that owner; wakes on release.
    WaitWhileEqual(owner_, expected);
  }
  depth_ = 1;
}

void SignalSafeRecursiveLock::Unlock() {
  if (--depth_ > 0) return;
  owner_.store(0, std::memory_order_release);
  WakeOneWaiter(owner_);
}

bool SignalSafeRecursiveLock::HeldByCaller() const {
  return owner_.load(std::memory_order_acquire) == CurrentThreadId();
}

}  // namespace platform
