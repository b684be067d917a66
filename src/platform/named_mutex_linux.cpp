#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/environment.h"

namespace platform {

// An flock is dropped by the kernel when its holder dies, so a crash leaves no
// stale lock. The descriptor stays open for the life of the process.
NamedMutexResult CreateNamedMutex(const char* name) {
  const char* dir = RuntimeDirectory();
  if (!*dir) return NamedMutexResult::Failed;
  char path[512];
  int n = std::snprintf(path, sizeof path, "%s/%s.lock", dir, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return NamedMutexResult::Failed;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return NamedMutexResult::Failed;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return NamedMutexResult::Created;
  int error = errno;
  close(fd);
  return error == EWOULDBLOCK ? NamedMutexResult::AlreadyExists : NamedMutexResult::Failed;
}

}  // namespace platform
