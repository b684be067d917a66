#include "platform/message_queue.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

MessageQueue::MessageQueue() {
  // One count per queued message, so the semaphore is signalled exactly while the queue holds any.
  wake_ = CreateSemaphoreW(nullptr, 0, 0x7fffffff, nullptr);
  if (!wake_) {
    std::fprintf(stderr, "CreateSemaphore failed: %lu\n", GetLastError());
    std::abort();
  }
}

MessageQueue::~MessageQueue() { CloseFileHandle(wake_); }

void MessageQueue::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(Message{id, wParam, lParam});
  ReleaseSemaphore(wake_, 1, nullptr);
}

bool MessageQueue::TryTake(Message* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  *out = queue_.front();
  queue_.pop_front();
  WaitForSingleObject(wake_, 0);  // takes this message's count
  return true;
}

bool MessageQueue::WaitTake(Message* out, int timeoutMs) {
  for (;;) {
    if (TryTake(out)) return true;
    DWORD r = WaitForSingleObject(wake_, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r != WAIT_OBJECT_0) return false;
    ReleaseSemaphore(wake_, 1, nullptr);  // the count belongs to the message TryTake takes
  }
}

MessageQueue& UiQueue() {
  static MessageQueue* queue = new MessageQueue();  // lives to process end: workers may post late
  return *queue;
}

}  // namespace platform
