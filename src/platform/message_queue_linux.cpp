#include "platform/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

MessageQueue::MessageQueue() {
  // Semaphore mode: one count per queued message, so readiness tracks the queue.
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  if (wake_ < 0) {
    std::perror("eventfd");
    std::abort();
  }
}

MessageQueue::~MessageQueue() {
  if (wake_ >= 0) close(wake_);
}

void MessageQueue::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(Message{id, wParam, lParam});
  uint64_t one = 1;
  ssize_t n = write(wake_, &one, sizeof one);
  (void)n;  // the counter cannot overflow at any realistic queue length
}

bool MessageQueue::TryTake(Message* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  *out = queue_.front();
  queue_.pop_front();
  uint64_t count;
  ssize_t n = read(wake_, &count, sizeof count);
  (void)n;
  return true;
}

bool MessageQueue::WaitTake(Message* out, int timeoutMs) {
  for (;;) {
    if (TryTake(out)) return true;
    pollfd p{wake_, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r == 0) return false;
    if (r < 0 && errno != EINTR) return false;
    // A timeout restarts in full after EINTR; callers only use it as an upper bound.
  }
}

MessageQueue& UiQueue() {
  static MessageQueue* queue = new MessageQueue();  // lives to process end: workers may post late
  return *queue;
}

}  // namespace platform
