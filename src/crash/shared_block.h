#pragma once
// The crash description in a named shared block, byte for byte as the sender
// reads it: a 212-byte header, then string, file, property and key items, each
// appended where the last ended. Little-endian, no alignment. The writers
// never go past the mapping; the report-time writers are async-signal-safe.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/shared_memory.h"

namespace crash {

inline constexpr size_t kBlockSize = 10485760;
inline constexpr uint32_t kHeaderSize = 212;
inline constexpr uint32_t kFormatVersion = 1402;
inline constexpr size_t kMaxTextChars = 32764;  // a StringBlock's size must fit 16 bits
inline constexpr uint32_t kFileItemSize = 28;
inline constexpr uint32_t kPropertyItemSize = 16;
inline constexpr uint32_t kRegKeyItemSize = 20;
inline constexpr uint32_t kLinuxRecordSize = 40;

// Header offsets.
namespace hdr {
inline constexpr uint32_t kBytesUsed = 8, kVersion = 12, kFileCount = 16, kRegKeyCount = 20,
                          kPropertyCount = 24, kFlags = 28, kMailPort = 32, kSmtpPort = 36,
                          kSenderSettings = 40, kPassThroughValue = 52, kScreenshot = 56,
                          kScreenshotFlags = 60, kJpegQuality = 64, kUploadUrl = 68, kAppName = 72,
                          kAppVersion = 76, kLanguageFile = 80, kPassThroughText = 84, kEmailTo = 88,
                          kCrashGuid = 92, kSaveDir = 96, kPrivacyUrl = 100, kSubject = 104,
                          kExtraText = 108, kSmtpServer = 112, kDbgHelpPath = 116, kCustomIcon = 120,
                          kExePath = 124, kProcessId = 128, kThreadId = 132, kExceptionType = 136,
                          kExceptionCode = 140, kExpression = 144, kFunction = 148, kFile = 152,
                          kLine = 156, kFpeSubcode = 160, kExceptionPointers = 164, kQueued = 168,
                          kSmtpLogin = 172, kSmtpPassword = 176, kVideo = 180, kVideoFlags = 184,
                          kVideoDuration = 188, kVideoInterval = 192, kVideoWidth = 196,
                          kVideoHeight = 200, kVideoWindow = 204, kCrashOccurred = 208;
}

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
  uint32_t AppendFile(const Text& source, const Text& dest, const Text& description, bool option1,
                      bool option2) const;
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
inline size_t RegKeyItemSize(const Text& a, const Text& b) {
  return kRegKeyItemSize + StringSize(a) + StringSize(b);
}

}  // namespace crash
