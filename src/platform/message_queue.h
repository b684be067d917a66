#pragma once
// Messages posted by worker threads to the user-interface thread, delivered in
// arrival order (the role of PostMessage to the main window). On Windows it is
// the thread's own Win32 queue, through a message-only window made by the
// thread that constructs the queue: only that thread may take from it.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/handle.h"

namespace platform {

struct Message {
  uint32_t id;
  uintptr_t wParam;
  intptr_t lParam;
};

class MessageQueue {
 public:
  MessageQueue();
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Never blocks the caller beyond a short lock; safe from any thread.
  void Post(uint32_t id, uintptr_t wParam, intptr_t lParam);
  // Takes the oldest message; false when none is queued.
  bool TryTake(Message* out);
  // Waits up to timeoutMs (-1: for ever) for a message; false on timeout.
  bool WaitTake(Message* out, int timeoutMs);
#ifdef _WIN32
  // The message-only window (an HWND) whose messages these are.
  void* NativeWindow() const { return window_; }
#else
  // Readable while messages are queued, for the GLib loop to watch.
  FileHandle WakeHandle() const { return wake_; }
#endif

 private:
#ifdef _WIN32
  void* window_ = nullptr;
#else
  std::mutex mutex_;
  std::deque<Message> queue_;
  FileHandle wake_ = kInvalidFileHandle;
#endif
};

// The queue of the process's user-interface thread.
MessageQueue& UiQueue();

}  // namespace platform
