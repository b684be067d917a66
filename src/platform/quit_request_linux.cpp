#include "platform/quit_request.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace platform {

namespace {
std::atomic<int> g_quitFd{-1};
}

bool InitQuitRequest() {
  if (g_quitFd.load() >= 0) return true;
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return false;
  g_quitFd.store(fd);
  return true;
}

void RequestQuit() {
  int fd = g_quitFd.load();
  if (fd < 0) return;
  uint64_t one = 1;
  ssize_t n = write(fd, &one, sizeof one);
  (void)n;
}

bool WaitQuitRequest() {
  int fd = g_quitFd.load();
  if (fd < 0) return false;
  uint64_t count;
  for (;;) {
    ssize_t n = read(fd, &count, sizeof count);
    if (n == sizeof count) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace platform
