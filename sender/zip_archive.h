#pragma once
// A ZIP archive of stored (uncompressed) entries, written one entry at a time:
// every reader of the format opens it, and nothing needs a compression library.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace sender {

uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

class ZipBuilder {
 public:
  explicit ZipBuilder(std::time_t time);
  // The bytes that go before the entry's content; false when the archive
  // would outgrow the format (4 GiB, 65535 entries) or the name is too long.
  bool AddEntry(const std::string& name, const std::string& content, std::string* bytes);
  // The central directory and its end record, after the last entry.
  std::string Finish() const;

 private:
  struct Entry {
    std::string name;
    uint32_t crc;
    uint32_t size;
    uint32_t offset;
  };
  uint16_t dosTime_ = 0, dosDate_ = 0;
  uint64_t offset_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace sender
