#pragma once
// Named shared memory: the crash block the front end writes and the sender reads.
// Names follow the named events ("Local\X" or "X": the user's own; "Global\X":
// every user's). The whole object is mapped once; views are pointers into it.
#include <cstddef>
#include <memory>

#include "platform/handle.h"

namespace platform {

class SharedMemory {
 public:
  // Makes a new zero-filled object of `size` bytes, readable and writable by
  // its user only. An object left under the name is replaced, and so is every
  // object that a dead process of the user left. nullptr on failure.
  static std::unique_ptr<SharedMemory> Create(const char* name, size_t size);
  // Maps an existing object, all of it as it is now; writable asks for write
  // access. nullptr when there is none, it is empty, or it cannot be mapped.
  static std::unique_ptr<SharedMemory> Open(const char* name, bool writable);

  // Unmaps; a creator also removes the name.
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Async-signal-safe.
  unsigned char* Data() const { return data_; }
  size_t Size() const { return size_; }

  // The system's mapping granularity (the page size).
  static size_t Granularity();

 private:
  SharedMemory(unsigned char* data, size_t size, bool owner, const char* path, FileHandle fd);
  unsigned char* data_;
  size_t size_;
  bool owner_;
  FileHandle fd_;  // the creator's: held (and locked) while the object is in use
  char path_[512];
};

// Removes the object of a name, if any.
void RemoveSharedMemory(const char* name);

}  // namespace platform
