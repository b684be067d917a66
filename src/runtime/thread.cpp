#include "runtime/thread.h"

#include "crash/crash_report.h"
#include "platform/thread.h"

bool Thread::Start() {
  self_ = this;
  return platform::StartDetachedThread(&Thread::Entry, self_);
}

void Thread::Entry(void* self) {
  WorkerEnter();
  static_cast<Thread*>(self)->Run();
  WorkerLeave();
}

// Every worker has its own crash handlers (and signal stack) while it runs.
void WorkerEnter() { InstallThreadCrashHandlers(0); }
void WorkerLeave() { UninstallThreadCrashHandlers(); }
