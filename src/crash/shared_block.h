#pragma once
// Writing the crash description into a named shared block (block_layout.h
// says where everything lies). The writers never go past the mapping; the
// report-time writers are async-signal-safe.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "crash/block_layout.h"
#include "platform/shared_memory.h"

namespace crash {

inline constexpr uint32_t kFileItemSize = file::kSize;
inline constexpr uint32_t kPropertyItemSize = property::kSize;
inline constexpr uint32_t kRegKeyItemSize = regkey::kSize;
inline constexpr uint32_t kLinuxRecordSize = linuxrecord::kSize;

// A view of UTF-16 text without a terminator.
struct Text {
  const char16_t* data = nullptr;
  size_t length = 0;
  Text() = default;
  Text(const std::u16string& s) : data(s.data()), length(s.size()) {}
  Text(const char16_t* d, size_t n) : data(d), length(n) {}
};

// The size a StringBlock of the text takes.
inline size_t StringSize(const Text& t) { return 6 + 2 * t.length; }

// Mapping wrapper: one object, views handed out as pointers into it.
class SharedMemory {
 public:
  bool Create(const char* name, size_t size);
  bool Open(const char* name);
  // A view of length bytes at offset; nullptr when it would leave the mapping.
  // Async-signal-safe.
  unsigned char* CreateView(size_t offset, size_t length) const;
  void DestroyView(unsigned char*) const {}
  void Close() { memory_.reset(); }
  bool IsOpen() const { return memory_ != nullptr; }
  const char* Name() const { return name_; }
  size_t Size() const { return memory_ ? memory_->Size() : 0; }

 private:
  std::unique_ptr<platform::SharedMemory> memory_;
  char name_[64] = {};
};

// Writes into a block; every append checks the room left first.
class BlockWriter {
 public:
  explicit BlockWriter(const SharedMemory& memory) : memory_(memory) {}

  // All of these are async-signal-safe.
  unsigned char* Header() const { return memory_.CreateView(0, kHeaderSize); }
  uint32_t Get32(uint32_t offset) const;
  void Put32(uint32_t offset, uint32_t value) const;
  uint32_t BytesUsed() const { return Get32(hdr::kBytesUsed); }
  bool HasRoom(size_t bytes) const { return BytesUsed() + bytes <= memory_.Size(); }
  // The offset of the new item, or 0 when it does not fit.
  uint32_t AppendString(const Text& text) const;
  uint32_t AppendFile(const Text& source, const Text& dest, const Text& description, bool option1, bool option2) const;
  uint32_t AppendProperty(const Text& name, const Text& value) const;
  uint32_t AppendRegKey(const Text& key, const Text& dest, bool option) const;
  // The record that tells the sender what only Linux has.
  uint32_t AppendLinuxRecord(uint64_t faultAddress, uint64_t pointers, int32_t signal, int32_t code,
                             int32_t threadId) const;

 private:
  const SharedMemory& memory_;
};

// Sizes of the items, for checks before anything is written.
inline size_t FileItemSize(const Text& a, const Text& b, const Text& c) {
  return kFileItemSize + StringSize(a) + StringSize(b) + StringSize(c);
}
inline size_t PropertyItemSize(const Text& a, const Text& b) {
  return kPropertyItemSize + StringSize(a) + StringSize(b);
}
inline size_t RegKeyItemSize(const Text& a, const Text& b) { return kRegKeyItemSize + StringSize(a) + StringSize(b); }

}  // namespace crash
