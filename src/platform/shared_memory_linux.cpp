#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/handle.h"
#include "platform/object_name_linux.h"

namespace platform {

std::unique_ptr<SharedMemory> SharedMemory::Create(const char* name, size_t size) {
  char path[sizeof path_];
  bool global;
  if (size == 0 || !ObjectPath(name, ObjectKind::Memory, path, sizeof path, &global)) return nullptr;
  // Blocks of runs that were killed (10 MiB each) go before a new one is made.
  RemoveAbandonedSharedMemory();
  // Made complete under a temporary name and locked for as long as its
  // creator lives, so that a later start can tell an abandoned block.
  char temp[sizeof path_ + 40];
  ScopedFileHandle fd;
  for (int attempt = 0; attempt < 8 && !fd.is_valid(); ++attempt) {
    if (!TemporaryObjectPath(path, temp, sizeof temp)) return nullptr;
    fd.reset(open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.is_valid() && errno != EEXIST) return nullptr;
  }
  if (!fd.is_valid()) return nullptr;
  void* p = MAP_FAILED;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ftruncate(fd.get(), static_cast<off_t>(size)) != 0 ||
      (p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0)) == MAP_FAILED) {
    unlink(temp);
    return nullptr;
  }
  // Replaces whatever an earlier run left under the name, in one step.
  if (rename(temp, path) != 0) {
    munmap(p, size);
    unlink(temp);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(static_cast<unsigned char*>(p), size, true, path, fd.release()));
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const char* name, bool writable) {
  char path[sizeof path_];
  bool global;
  if (!ObjectPath(name, ObjectKind::Memory, path, sizeof path, &global)) return nullptr;
  ScopedFileHandle fd(open(path, (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.is_valid()) return nullptr;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_size <= 0) {
    return nullptr;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return nullptr;
  // A writer that shrinks the object later makes reads past the end fault; a
  // reader of a hostile object must copy what it needs or guard with SIGBUS.
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(static_cast<unsigned char*>(p), size, false, path, kInvalidFileHandle));
}

SharedMemory::~SharedMemory() {
  munmap(data_, size_);
  if (owner_) unlink(path_);
  if (fd_ != kInvalidFileHandle) close(fd_);
}

size_t SharedMemory::Granularity() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

void RemoveSharedMemory(const char* name) {
  char path[512];
  bool global;
  if (ObjectPath(name, ObjectKind::Memory, path, sizeof path, &global)) unlink(path);
}

}  // namespace platform
