#pragma once
// Base of the worker objects: Start runs Run on a new detached thread.
// Destroying the object does nothing to a thread that is still running, so
// owners keep workers alive for the life of the process.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts a further thread on every call; earlier threads are not waited for.
  bool Start();

 protected:
  ~Thread() = default;
  virtual void Run() = 0;

 private:
  static void Entry(void* self);
  Thread* self_ = nullptr;
};

// Brackets every worker body (crash handlers per thread); usable by plain
// thread functions too.
void WorkerEnter();
void WorkerLeave();
