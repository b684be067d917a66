#include "parent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/handle.h"

namespace sender {

int ParentProcess() { return static_cast<int>(getppid()); }

bool WaitForEventOrExit(platform::NamedEvent* event, int pid) {
  platform::ScopedFileHandle process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!process.is_valid()) return false;  // already gone
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) return false;
  platform::ScopedFileHandle wakeRead(wake[0]), wakeWrite(wake[1]);
  std::atomic<bool> stop{false};
  std::atomic<bool> signalled{false};
  std::thread waiter([&] {
    event->Wait(-1);
    if (!stop.load()) signalled.store(true);
    char byte = 1;
    while (write(wakeWrite.get(), &byte, 1) < 0 && errno == EINTR) {
    }
  });
  pollfd fds[2] = {{process.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
  while (poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  if (!signalled.load()) {
    // The process is gone: wake our own waiter so it can be joined.
    stop.store(true);
    event->Set();
  }
  waiter.join();
  return signalled.load();
}

}  // namespace sender
