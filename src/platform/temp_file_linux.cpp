#include "platform/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

bool CreateTempFile(const char* prefix, char* path, size_t pathSize) {
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int n = std::snprintf(path, pathSize, "%s/%sXXXXXX", dir, prefix);
  if (n < 0 || static_cast<size_t>(n) >= pathSize) return false;
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) {
    path[0] = '\0';
    return false;
  }
  close(fd);
  return true;
}

bool StageBeside(const char* source, const char* target, char* staged, size_t stagedSize) {
  int n = std::snprintf(staged, stagedSize, "%s.XXXXXX", target);
  if (n < 0 || static_cast<size_t>(n) >= stagedSize) return false;
  int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    staged[0] = '\0';
    return false;
  }
  int out = mkostemp(staged, O_CLOEXEC);
  if (out < 0) {
    close(in);
    staged[0] = '\0';
    return false;
  }
  bool ok = true;
  char buffer[65536];
  while (ok) {
    ssize_t r = read(in, buffer, sizeof buffer);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      ok = r == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < r;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(r - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  close(in);
  // The new file takes the old one's permissions (mkostemp makes it 0600).
  struct stat st;
  mode_t mode = stat(target, &st) == 0 ? (st.st_mode & 07777) : 0644;
  ok = ok && fchmod(out, mode) == 0 && fsync(out) == 0;
  if (close(out) != 0) ok = false;
  if (!ok) {
    unlink(staged);
    staged[0] = '\0';
  }
  return ok;
}

bool MoveStaged(const char* staged, const char* target) { return rename(staged, target) == 0; }

void SyncDirectoryOf(const char* path) {
  char dir[4096];
  int n = std::snprintf(dir, sizeof dir, "%s", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof dir) return;
  char* slash = std::strrchr(dir, '/');
  if (!slash) {
    std::snprintf(dir, sizeof dir, ".");
  } else if (slash == dir) {
    slash[1] = '\0';
  } else {
    *slash = '\0';
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool DeleteFileAt(const char* path) { return unlink(path) == 0; }

std::FILE* OpenRegularFileForReading(const char* path, unsigned long long maxSize) {
  // O_NONBLOCK: opening a FIFO or a device must not block the caller.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) > maxSize) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

std::FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

}  // namespace platform
