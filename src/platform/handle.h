#pragma once
// The running system's descriptors and handles as opaque values, and a small
// owner that closes one when it goes out of scope.
#include <cstdint>

namespace platform {

#if defined(_WIN32)
using FileHandle = void*;  // a kernel HANDLE
// Win32 reports failure with either of these, depending on the call.
inline bool IsValidFileHandle(FileHandle h) {
  return h != nullptr && h != reinterpret_cast<FileHandle>(static_cast<intptr_t>(-1));
}
inline const FileHandle kInvalidFileHandle = nullptr;
using SocketHandle = uintptr_t;  // a Winsock SOCKET
inline constexpr SocketHandle kInvalidSocket = ~static_cast<uintptr_t>(0);
#else
using FileHandle = int;  // a descriptor
inline bool IsValidFileHandle(FileHandle h) { return h >= 0; }
inline constexpr FileHandle kInvalidFileHandle = -1;
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Closes a handle; invalid ones are ignored.
void CloseFileHandle(FileHandle handle);

// Owns one handle: closes it on destruction or reset; moves, never copies.
class ScopedFileHandle {
 public:
  ScopedFileHandle() = default;
  explicit ScopedFileHandle(FileHandle handle) : handle_(handle) {}
  ~ScopedFileHandle() { reset(); }
  ScopedFileHandle(ScopedFileHandle&& other) noexcept : handle_(other.release()) {}
  ScopedFileHandle& operator=(ScopedFileHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;

  FileHandle get() const { return handle_; }
  bool is_valid() const { return IsValidFileHandle(handle_); }
  // Gives the handle up without closing it.
  FileHandle release() {
    FileHandle h = handle_;
    handle_ = kInvalidFileHandle;
    return h;
  }
  void reset(FileHandle handle = kInvalidFileHandle) {
    if (IsValidFileHandle(handle_) && handle_ != handle) CloseFileHandle(handle_);
    handle_ = handle;
  }

 private:
  FileHandle handle_ = kInvalidFileHandle;
};

}  // namespace platform
