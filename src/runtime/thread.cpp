#include "runtime/thread.h"

#include <atomic>
#include <chrono>
#include <new>

#include "platform/thread.h"

namespace {

std::atomic<void (*)()> g_enter{nullptr};
std::atomic<void (*)()> g_leave{nullptr};

struct Plain {
  void (*fn)(void*);
  void* arg;
};

void PlainEntry(void* p) {
  const Plain plain = *static_cast<Plain*>(p);
  delete static_cast<Plain*>(p);
  WorkerEnter();
  plain.fn(plain.arg);
  WorkerLeave();
}

}  // namespace

bool Thread::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (runs_ == 0) stopping_ = false;
    ++runs_;
  }
  if (platform::StartDetachedThread(&Thread::Entry, this)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  --runs_;
  changed_.notify_all();
  return false;
}

void Thread::Entry(void* self) {
  Thread* thread = static_cast<Thread*>(self);
  WorkerEnter();
  thread->Run();
  WorkerLeave();
  // The last touch of the object: once Join sees the count drop, it may go.
  std::lock_guard<std::mutex> lock(thread->mutex_);
  --thread->runs_;
  thread->changed_.notify_all();
}

void Thread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  Wake();
  Join();
}

void Thread::Join() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return runs_ == 0; });
}

bool Thread::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return runs_ != 0;
}

bool Thread::StopRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

bool Thread::WaitForStop(unsigned ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

bool StartWorker(void (*fn)(void*), void* arg) {
  Plain* plain = new (std::nothrow) Plain{fn, arg};
  if (!plain) return false;
  if (platform::StartDetachedThread(&PlainEntry, plain)) return true;
  delete plain;
  return false;
}

void SetWorkerBrackets(void (*enter)(), void (*leave)()) {
  g_enter.store(enter);
  g_leave.store(leave);
}

void WorkerEnter() {
  if (void (*enter)() = g_enter.load()) enter();
}

void WorkerLeave() {
  if (void (*leave)() = g_leave.load()) leave();
}
