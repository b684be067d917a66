// The per-thread handler table: which threads installed which hooks, found
// without a lock by a crashing thread.
#include "crash/crash_handler.h"

#include "platform/crash_process.h"

namespace crash {

int CCrashHandler::SetThreadHandlers(uint32_t tflags) {
  const uint32_t mask =
      (tflags & CRASH_INST_HANDLER_MASK) ? (tflags & CRASH_INST_HANDLER_MASK) : CRASH_INST_HANDLER_MASK;
  const int tid = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(threadsLock_);
  ThreadEntry* free = nullptr;
  for (auto& t : threads_) {
    int id = t.tid.load();
    if (id == tid) {
      SetErrorText(u"Can't install handlers for current thread twice.");
      return 1;
    }
    if (id == 0 && !free) free = &t;
  }
  if (!free) {
    SetErrorText(u"Too many threads with crash handlers.");
    return 1;
  }
  // Its own alternate stack, so that this thread's stack overflow is caught.
  if (!platform::InstallAltStack(&free->stack)) {
    SetErrorText(u"Couldn't set up the signal stack for the current thread.");
    return 1;
  }
  free->hooks.store(mask & (CRASH_INST_TERMINATE_HANDLER | CRASH_INST_UNEXPECTED_HANDLER | CRASH_INST_SIGFPE_HANDLER |
                            CRASH_INST_SIGILL_HANDLER | CRASH_INST_SIGSEGV_HANDLER));
  free->tid.store(tid);
  return 0;
}

int CCrashHandler::UnsetThreadHandlers() {
  const int tid = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(threadsLock_);
  for (auto& t : threads_) {
    if (t.tid.load() == tid) {
      t.tid.store(0);
      t.hooks.store(0);
      platform::RemoveAltStack(&t.stack);
      return 0;
    }
  }
  SetErrorText(u"Crash handler wasn't previously installed for current thread.");
  return 1;
}

ThreadEntry* CCrashHandler::FindThread(int tid) {
  for (auto& t : threads_)
    if (t.tid.load(std::memory_order_acquire) == tid) return &t;
  return nullptr;
}

}  // namespace crash
