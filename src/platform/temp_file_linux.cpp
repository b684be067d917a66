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

namespace {

bool SyncFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Copies source next to target and fsyncs it, so the final rename is atomic
// even when the temporary directory is on another file system.
bool CopyBeside(const char* source, const char* target, char* staged, size_t stagedSize) {
  int n = std::snprintf(staged, stagedSize, "%s.XXXXXX", target);
  if (n < 0 || static_cast<size_t>(n) >= stagedSize) return false;
  int out = mkostemp(staged, O_CLOEXEC);
  if (out < 0) return false;
  int in = open(source, O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0;
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
  if (in >= 0) close(in);
  ok = ok && fchmod(out, 0644) == 0 && fsync(out) == 0;
  close(out);
  if (!ok) unlink(staged);
  return ok;
}

// Makes a finished rename survive a power cut; the rename itself is atomic either way.
void SyncParentDirectory(const char* target) {
  char dir[4096];
  int n = std::snprintf(dir, sizeof dir, "%s", target);
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

}  // namespace

bool ReplaceFile(const char* source, const char* target) {
  // The new file takes the old one's permissions (a temp file is born 0600).
  struct stat st;
  chmod(source, stat(target, &st) == 0 ? (st.st_mode & 07777) : 0644);
  SyncFile(source);
  if (rename(source, target) == 0) {
    SyncParentDirectory(target);
    return true;
  }
  if (errno != EXDEV) return false;
  char staged[4096];
  if (!CopyBeside(source, target, staged, sizeof staged)) return false;
  if (rename(staged, target) != 0) {
    unlink(staged);
    return false;
  }
  SyncParentDirectory(target);
  unlink(source);
  return true;
}

bool DeleteFileAt(const char* path) { return unlink(path) == 0; }

}  // namespace platform
