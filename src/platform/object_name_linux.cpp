#include "platform/object_name_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/environment.h"

namespace platform {

namespace {

// Appends src to out[*len..size); false when it does not fit with its NUL.
bool Append(char* out, size_t size, size_t* len, const char* src) {
  size_t n = std::strlen(src);
  if (*len + n + 1 > size) return false;
  std::memcpy(out + *len, src, n);
  *len += n;
  out[*len] = '\0';
  return true;
}

const char* Namespace() {
  const char* ns = std::getenv("QUORVANTA_OBJECT_NAMESPACE");
  return ns ? ns : "";
}

}  // namespace

bool ObjectPath(const char* name, ObjectKind kind, char* out, size_t size, bool* global) {
  const char* base = name;
  *global = false;
  if (std::strncmp(name, "Global\\", 7) == 0) {
    base = name + 7;
    *global = true;
  } else if (std::strncmp(name, "Local\\", 6) == 0) {
    base = name + 6;
  }
  if (*base == '\0' || std::strchr(base, '/') || std::strchr(base, '\\') || size == 0) return false;
  size_t len = 0;
  out[0] = '\0';
  if (*global) {
    return kind == ObjectKind::Event && Append(out, size, &len, "/dev/shm/quorvanta") &&
           Append(out, size, &len, Namespace()) && Append(out, size, &len, "-global-") && Append(out, size, &len, base);
  }
  const char* dir = RuntimeDirectory();
  return *dir && Append(out, size, &len, dir) && Append(out, size, &len, "/quorvanta") &&
         Append(out, size, &len, Namespace()) && Append(out, size, &len, kind == ObjectKind::Memory ? "-mem-" : "-") &&
         Append(out, size, &len, base);
}

bool TemporaryObjectPath(const char* path, char* out, size_t size) {
  // Unpredictable, so that nobody can take the name before us.
  unsigned long long random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
  const char* slash = std::strrchr(path, '/');
  if (!slash) return false;
  int n = std::snprintf(out, size, "%.*s/.quorvanta-new-%016llx", static_cast<int>(slash - path), path, random);
  return n > 0 && static_cast<size_t>(n) < size;
}

void RemoveAbandonedSharedMemory() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* dir = RuntimeDirectory();
    if (!*dir) return;
    const int dirFd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return;
    DIR* listing = fdopendir(dirFd);
    if (!listing) {
      close(dirFd);
      return;
    }
    char prefix[160];
    std::snprintf(prefix, sizeof prefix, "quorvanta%s-mem-", Namespace());
    const size_t prefixLength = std::strlen(prefix);
    while (dirent* entry = readdir(listing)) {
      const char* name = entry->d_name;
      // A block is named when it is complete; a temporary one may be a block cut short.
      if (std::strncmp(name, prefix, prefixLength) != 0 && std::strncmp(name, ".quorvanta-new-", 15) != 0) continue;
      const int fd = openat(dirFd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat st;
      // Only memory holds its creator's lock: an event's temporary file is small and is left alone.
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size > 64 &&
          flock(fd, LOCK_EX | LOCK_NB) == 0) {
        unlinkat(dirFd, name, 0);
      }
      close(fd);
    }
    closedir(listing);
  });
}

}  // namespace platform
