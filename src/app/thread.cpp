#include "app/thread.h"

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

// Per-thread crash handlers hook in here once crash reporting exists.
void WorkerEnter() {}
void WorkerLeave() {}
