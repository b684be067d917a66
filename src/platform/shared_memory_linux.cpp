#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/handle.h"
#include "platform/object_name_linux.h"

namespace platform {

SharedMemory::SharedMemory(unsigned char* data, size_t size, bool owner, const char* path)
    : data_(data), size_(size), owner_(owner) {
  size_t n = strnlen(path, sizeof path_ - 1);
  std::memcpy(path_, path, n);
  path_[n] = '\0';
}

std::unique_ptr<SharedMemory> SharedMemory::Create(const char* name, size_t size) {
  char path[256];
  bool global;
  if (size == 0 || !ShmObjectName(name, path, sizeof path, &global)) return nullptr;
  shm_unlink(path);  // a stale object of an earlier run must not be reused as it is
  const mode_t mode = global ? 0666 : 0600;
  ScopedFileHandle fd(shm_open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.is_valid()) return nullptr;
  if (global) fchmod(fd.get(), mode);  // the umask must not narrow a world-accessible object
  if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    shm_unlink(path);
    return nullptr;
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) {
    shm_unlink(path);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(static_cast<unsigned char*>(p), size, true, path));
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const char* name, bool writable) {
  char path[256];
  bool global;
  if (!ShmObjectName(name, path, sizeof path, &global)) return nullptr;
  ScopedFileHandle fd(shm_open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0));
  if (!fd.is_valid()) return nullptr;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return nullptr;
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return nullptr;
  // A writer that shrinks the object later makes reads past the end fault; a
  // reader of a hostile object must copy what it needs or guard with SIGBUS.
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(static_cast<unsigned char*>(p), size, false, path));
}

SharedMemory::~SharedMemory() {
  munmap(data_, size_);
  if (owner_) shm_unlink(path_);
}

size_t SharedMemory::Granularity() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

void RemoveSharedMemory(const char* name) {
  char path[256];
  bool global;
  if (ShmObjectName(name, path, sizeof path, &global)) shm_unlink(path);
}

}  // namespace platform
