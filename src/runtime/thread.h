#pragma once
// Worker threads, in two shapes:
//  - Thread: an owned worker. Start runs Run on a thread of its own; Stop asks
//    Run to end (Wake unblocks it) and waits until it has; Join only waits.
//    A derived class calls Stop in its destructor, before its members go.
//  - StartWorker: a plain function on a detached thread that may end with the
//    process (its argument must live as long).
// Both bracket the body with the crash handlers of the thread.
#include <condition_variable>
#include <mutex>

class Thread {
 public:
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs Run on a new thread; false when none could be made. A start while
  // another run is under way starts one more; Stop and Join wait for all.
  bool Start();
  // Asks every run to end, wakes it, and waits until none is left. Later
  // starts run again.
  void Stop();
  // Waits until no run is under way (at once when none was started).
  void Join();
  bool Running() const;

 protected:
  Thread() = default;
  ~Thread() = default;  // the derived class has stopped it

  virtual void Run() = 0;
  // Called by Stop, on the stopping thread: unblocks a Run that waits on
  // something else than WaitForStop (a listener, a socket).
  virtual void Wake() {}
  bool StopRequested() const;
  // Waits up to ms for Stop; true when Stop was asked.
  bool WaitForStop(unsigned ms);

 private:
  static void Entry(void* self);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  unsigned runs_ = 0;
  bool stopping_ = false;
};

// Starts fn(arg) on a detached, bracketed thread that nobody waits for.
bool StartWorker(void (*fn)(void*), void* arg);

// Brackets every worker body (crash handlers per thread); plain thread
// functions that are not started through this file call them too.
void WorkerEnter();
void WorkerLeave();
// Installed by the crash handler: what WorkerEnter and WorkerLeave run. Until
// then they do nothing, so workers need not know whether crashes are caught.
void SetWorkerBrackets(void (*enter)(), void (*leave)());
