// The ZIP archive of kept reports, checked against the format's fixed records.
#include <gtest/gtest.h>

#include "zip_archive.h"

namespace {

uint32_t At32(const std::string& s, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t At16(const std::string& s, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

TEST(ZipArchive, ChecksumIsTheStandardCrc32) {
  EXPECT_EQ(sender::Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(sender::Crc32("", 0), 0u);
  // Fed in pieces, the same value.
  EXPECT_EQ(sender::Crc32("6789", 4, sender::Crc32("12345", 5)), 0xCBF43926u);
}

TEST(ZipArchive, EntriesAndDirectoryPointAtEachOther) {
  sender::ZipBuilder zip(0);
  std::string archive, header;
  ASSERT_TRUE(zip.AddEntry("report.txt", "hello", &header));
  archive += header + "hello";
  ASSERT_TRUE(zip.AddEntry("b.log", "", &header));
  archive += header;
  const size_t directory = archive.size();
  archive += zip.Finish();

  EXPECT_EQ(At32(archive, 0), 0x04034b50u);
  EXPECT_EQ(At16(archive, 8), 0u);            // stored
  EXPECT_EQ(At32(archive, 14), 0x3610a686u);  // CRC-32 of "hello"
  EXPECT_EQ(At32(archive, 18), 5u);
  EXPECT_EQ(archive.substr(30, 10), "report.txt");
  EXPECT_EQ(archive.substr(40, 5), "hello");
  EXPECT_EQ(At32(archive, 45), 0x04034b50u);  // the second entry follows directly

  const size_t end = archive.size() - 22;
  EXPECT_EQ(At32(archive, end), 0x06054b50u);
  EXPECT_EQ(At16(archive, end + 10), 2u);
  EXPECT_EQ(At32(archive, end + 16), directory);
  EXPECT_EQ(At32(archive, end + 12), end - directory);
  EXPECT_EQ(At32(archive, directory), 0x02014b50u);
  EXPECT_EQ(At32(archive, directory + 42), 0u);  // first entry's offset
  const size_t second = directory + 46 + 10;
  EXPECT_EQ(At32(archive, second), 0x02014b50u);
  EXPECT_EQ(At32(archive, second + 42), 45u);
}

TEST(ZipArchive, RefusesWhatTheFormatCannotHold) {
  sender::ZipBuilder zip(0);
  std::string header;
  EXPECT_FALSE(zip.AddEntry("", "x", &header));
  EXPECT_FALSE(zip.AddEntry(std::string(70000, 'n'), "x", &header));
}

}  // namespace
