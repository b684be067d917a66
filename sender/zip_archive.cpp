#include "zip_archive.h"

namespace sender {

namespace {

void Put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

constexpr uint32_t kNeeded = 20;  // version 2.0: stored entries
constexpr uint32_t kUtf8Names = 0x0800;

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
  static const auto table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

ZipBuilder::ZipBuilder(std::time_t time) {
  std::tm local{};
  if (localtime_r(&time, &local) && local.tm_year >= 80) {
    dosTime_ = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    dosDate_ = static_cast<uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  } else {
    dosDate_ = (1 << 5) | 1;  // 1980-01-01, the format's first day
  }
}

bool ZipBuilder::AddEntry(const std::string& name, const std::string& content, std::string* bytes) {
  const uint64_t header = 30 + name.size();
  if (name.empty() || name.size() > 0xFFFF || entries_.size() >= 0xFFFF ||
      offset_ + header + content.size() > 0xFFFFFFFFull) {
    return false;
  }
  Entry entry{name, Crc32(content.data(), content.size()), static_cast<uint32_t>(content.size()),
              static_cast<uint32_t>(offset_)};
  bytes->clear();
  Put32(bytes, 0x04034b50);
  Put16(bytes, kNeeded);
  Put16(bytes, kUtf8Names);
  Put16(bytes, 0);  // stored
  Put16(bytes, dosTime_);
  Put16(bytes, dosDate_);
  Put32(bytes, entry.crc);
  Put32(bytes, entry.size);
  Put32(bytes, entry.size);
  Put16(bytes, static_cast<uint32_t>(name.size()));
  Put16(bytes, 0);
  *bytes += name;
  offset_ += header + content.size();
  entries_.push_back(std::move(entry));
  return true;
}

std::string ZipBuilder::Finish() const {
  std::string out;
  for (const Entry& e : entries_) {
    Put32(&out, 0x02014b50);
    Put16(&out, 0x0300 | kNeeded);  // made on Unix
    Put16(&out, kNeeded);
    Put16(&out, kUtf8Names);
    Put16(&out, 0);
    Put16(&out, dosTime_);
    Put16(&out, dosDate_);
    Put32(&out, e.crc);
    Put32(&out, e.size);
    Put32(&out, e.size);
    Put16(&out, static_cast<uint32_t>(e.name.size()));
    Put16(&out, 0);
    Put16(&out, 0);
    Put16(&out, 0);
    Put16(&out, 0);
    Put32(&out, 0100600u << 16);  // a regular file, private to its owner
    Put32(&out, e.offset);
    out += e.name;
  }
  const uint32_t size = static_cast<uint32_t>(out.size());
  Put32(&out, 0x06054b50);
  Put16(&out, 0);
  Put16(&out, 0);
  Put16(&out, static_cast<uint32_t>(entries_.size()));
  Put16(&out, static_cast<uint32_t>(entries_.size()));
  Put32(&out, size);
  Put32(&out, static_cast<uint32_t>(offset_));
  Put16(&out, 0);
  return out;
}

}  // namespace sender
