#include "crash/shared_block.h"

#include <cstring>

namespace crash {

namespace {

void Put16At(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32At(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Put64At(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Tag(unsigned char* p, const char* tag, uint16_t size) {
  std::memcpy(p, tag, kRecordTagSize);
  p[kRecordTagSize] = 0;
  Put16At(p + kRecordSizeField, size);
}

}  // namespace

bool SharedMemory::Create(const char* name, size_t size) {
  memory_ = platform::SharedMemory::Create(name, size);
  size_t n = strnlen(name, sizeof name_ - 1);
  std::memcpy(name_, name, n);
  name_[n] = '\0';
  return memory_ != nullptr;
}

bool SharedMemory::Open(const char* name) {
  memory_ = platform::SharedMemory::Open(name, true);
  size_t n = strnlen(name, sizeof name_ - 1);
  std::memcpy(name_, name, n);
  name_[n] = '\0';
  return memory_ != nullptr;
}

unsigned char* SharedMemory::CreateView(size_t offset, size_t length) const {
  if (!memory_ || offset > memory_->Size() || length > memory_->Size() - offset) return nullptr;
  return memory_->Data() + offset;
}

uint32_t BlockWriter::Get32(uint32_t offset) const {
  const unsigned char* p = memory_.CreateView(offset, 4);
  if (!p) return 0;
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void BlockWriter::Put32(uint32_t offset, uint32_t value) const {
  if (unsigned char* p = memory_.CreateView(offset, 4)) Put32At(p, value);
}

uint32_t BlockWriter::AppendString(const Text& text) const {
  if (text.length > kMaxTextChars) return 0;
  const size_t size = StringSize(text);
  const uint32_t offset = BytesUsed();
  unsigned char* p = memory_.CreateView(offset, size);
  if (!p) return 0;
  Tag(p, kStringTag, static_cast<uint16_t>(size));
  for (size_t i = 0; i < text.length; ++i) Put16At(p + kRecordHead + 2 * i, static_cast<uint16_t>(text.data[i]));
  Put32(hdr::kBytesUsed, offset + static_cast<uint32_t>(size));
  return offset;
}

uint32_t BlockWriter::AppendFile(const Text& source, const Text& dest, const Text& description, bool option1,
                                 bool option2) const {
  const size_t total = FileItemSize(source, dest, description);
  const uint32_t offset = BytesUsed();
  if (total > 0xFFFF || source.length > kMaxTextChars || dest.length > kMaxTextChars ||
      description.length > kMaxTextChars)
    return 0;
  unsigned char* p = memory_.CreateView(offset, total);
  if (!p) return 0;
  std::memset(p, 0, kFileItemSize);
  Put32(hdr::kBytesUsed, offset + kFileItemSize);
  Put32(hdr::kFileCount, Get32(hdr::kFileCount) + 1);
  Put32At(p + file::kSource, AppendString(source));
  Put32At(p + file::kDestination, AppendString(dest));
  Put32At(p + file::kDescription, AppendString(description));
  Put32At(p + file::kOption1, option1 ? 1 : 0);
  Put32At(p + file::kOption2, option2 ? 1 : 0);
  Tag(p, kFileTag, static_cast<uint16_t>(BytesUsed() - offset));
  return offset;
}

uint32_t BlockWriter::AppendProperty(const Text& name, const Text& value) const {
  const size_t total = PropertyItemSize(name, value);
  const uint32_t offset = BytesUsed();
  if (total > 0xFFFF || name.length > kMaxTextChars || value.length > kMaxTextChars) return 0;
  unsigned char* p = memory_.CreateView(offset, total);
  if (!p) return 0;
  std::memset(p, 0, kPropertyItemSize);
  Put32(hdr::kBytesUsed, offset + kPropertyItemSize);
  Put32(hdr::kPropertyCount, Get32(hdr::kPropertyCount) + 1);
  Put32At(p + property::kName, AppendString(name));
  Put32At(p + property::kValue, AppendString(value));
  Tag(p, kPropertyTag, static_cast<uint16_t>(BytesUsed() - offset));
  return offset;
}

uint32_t BlockWriter::AppendRegKey(const Text& key, const Text& dest, bool option) const {
  const size_t total = RegKeyItemSize(key, dest);
  const uint32_t offset = BytesUsed();
  if (total > 0xFFFF || key.length > kMaxTextChars || dest.length > kMaxTextChars) return 0;
  unsigned char* p = memory_.CreateView(offset, total);
  if (!p) return 0;
  std::memset(p, 0, kRegKeyItemSize);
  Put32(hdr::kBytesUsed, offset + kRegKeyItemSize);
  Put32(hdr::kRegKeyCount, Get32(hdr::kRegKeyCount) + 1);
  Put32At(p + regkey::kOption, option ? 1 : 0);
  Put32At(p + regkey::kKeyPath, AppendString(key));
  Put32At(p + regkey::kDestination, AppendString(dest));
  Tag(p, kRegKeyTag, static_cast<uint16_t>(BytesUsed() - offset));
  return offset;
}

uint32_t BlockWriter::AppendLinuxRecord(uint64_t faultAddress, uint64_t pointers, int32_t signal, int32_t code,
                                        int32_t threadId) const {
  const uint32_t offset = BytesUsed();
  unsigned char* p = memory_.CreateView(offset, kLinuxRecordSize);
  if (!p) return 0;
  std::memset(p, 0, kLinuxRecordSize);
  Tag(p, kLinuxTag, static_cast<uint16_t>(kLinuxRecordSize));
  Put64At(p + linuxrecord::kFaultAddress, faultAddress);
  Put64At(p + linuxrecord::kPointers, pointers);
  Put32At(p + linuxrecord::kSignal, static_cast<uint32_t>(signal));
  Put32At(p + linuxrecord::kSignalCode, static_cast<uint32_t>(code));
  Put32At(p + linuxrecord::kThreadId, static_cast<uint32_t>(threadId));
  Put32(hdr::kBytesUsed, offset + kLinuxRecordSize);
  return offset;
}

}  // namespace crash
