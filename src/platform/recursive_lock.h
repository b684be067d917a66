#pragma once
// A recursive lock that crash handlers may take from a signal handler: the
// same thread takes it again, others block on a futex. Async-signal-safe.
#include <atomic>

namespace platform {

class SignalSafeRecursiveLock {
 public:
  void Lock();
  void Unlock();
  // true when the calling thread holds it.
  bool HeldByCaller() const;

 private:
  std::atomic<int> owner_{0};  // thread id, 0 when free
  int depth_ = 0;              // touched by the owner only
};

// The system's wait on one word: sleeps while word holds value (or returns at
// once), and wakes one sleeper. Async-signal-safe.
void WaitWhileEqual(std::atomic<int>& word, int value);
void WakeOneWaiter(std::atomic<int>& word);

}  // namespace platform
