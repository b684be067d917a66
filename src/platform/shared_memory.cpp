#include "platform/shared_memory.h"

#include <cstring>

namespace platform {

SharedMemory::SharedMemory(unsigned char* data, size_t size, bool owner, const char* path, FileHandle fd)
    : data_(data), size_(size), owner_(owner), fd_(fd) {
  size_t n = strnlen(path, sizeof path_ - 1);
  std::memcpy(path_, path, n);
  path_[n] = '\0';
}

}  // namespace platform
