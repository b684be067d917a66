#pragma once
// Messages posted by worker threads to the user-interface thread, delivered in
// arrival order (the role of PostMessage to the main window).
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
  // Signalled while messages are queued, for main loops that multiplex (the
  // GTK loop watches the descriptor; on Windows a semaphore counts them).
  FileHandle WakeHandle() const { return wake_; }

 private:
  std::mutex mutex_;
  std::deque<Message> queue_;
  FileHandle wake_ = kInvalidFileHandle;
};

// The queue of the process's user-interface thread.
MessageQueue& UiQueue();

}  // namespace platform
