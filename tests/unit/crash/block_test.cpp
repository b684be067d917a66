// The crash block read back by name, byte for byte as the sender reads it,
// and the additions that must be refused before they outgrow it.
#include <fstream>
#include <string>
#include <vector>

#include "crash_fixture.h"
#include "platform/registry.h"

namespace {

using crashtest::CrashFixture;
using crashtest::U16;

struct Record {
  std::string tag;
  uint32_t offset;
  uint16_t size;
};

class CrashBlockTest : public CrashFixture {
 protected:
  // Every record from the header's end to bytes used, as a reader walks them.
  std::vector<Record> Walk(const unsigned char* b) const {
    std::vector<Record> records;
    for (uint32_t at = 212; at < U32(b, 8);) {
      Record r{std::string(reinterpret_cast<const char*>(b + at), 3), at, U16At(b, at + 4)};
      EXPECT_EQ(b[at + 3], 0);
      if (r.size < 6) {
        ADD_FAILURE() << "record of size " << r.size << " at " << at;
        break;
      }
      records.push_back(r);
      // Items carry their strings inside their size.
      at += r.size;
    }
    return records;
  }
};

TEST_F(CrashBlockTest, AFreshBlockHoldsTheHeaderAndSeventeenStrings) {
  info_.emailTo = u"crash@example.test:2525";
  info_.passThroughValue = 7;
  info_.senderSettings[0] = 3;
  info_.senderSettings[1] = -1;
  ASSERT_EQ(Install(), 0) << LastError();
  auto block = Block();
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(block->Size(), 10485760u);
  const unsigned char* b = block->Data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 4), std::string("CRD\0", 4));
  EXPECT_EQ(U16At(b, 4), 212);
  EXPECT_EQ(U32(b, 12), 1402u);
  EXPECT_EQ(U32(b, 28), 0x3FFFu);
  EXPECT_EQ(U32(b, 32), 2525u);
  EXPECT_EQ(U32(b, 36), 25u);
  EXPECT_EQ(static_cast<int32_t>(U32(b, 44)), -1);
  EXPECT_EQ(U32(b, 52), 7u);
  EXPECT_EQ(U32(b, 64), 95u);
  EXPECT_EQ(U32(b, 128), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(U32(b, 208), 0u);

  auto records = Walk(b);
  ASSERT_EQ(records.size(), 17u);
  uint32_t used = 212;
  for (const auto& r : records) {
    EXPECT_EQ(r.tag, "STR");
    used += r.size;
  }
  EXPECT_EQ(U32(b, 8), used);
  // Strings in the order they are appended, each where its field points.
  EXPECT_EQ(U32(b, 72), 212u);
  EXPECT_EQ(StringAt(b, U32(b, 72)), "App");
  EXPECT_EQ(StringAt(b, U32(b, 76)), "1.0");
  EXPECT_EQ(StringAt(b, U32(b, 92)), crash::g_crashHandler.load()->BlockName());
  EXPECT_EQ(StringAt(b, U32(b, 88)), "crash@example.test");
  EXPECT_EQ(StringAt(b, U32(b, 104)), "App 1.0 Error Report");
  EXPECT_EQ(StringAt(b, U32(b, 96)), dir_ / "data/CrashReport/UnsentCrashReports/App_1.0");
  EXPECT_EQ(StringAt(b, U32(b, 116)).find("libdw.so.1") != std::string::npos, true);
  EXPECT_EQ(StringAt(b, U32(b, 68)), "");
  EXPECT_EQ(U16At(b, U32(b, 68) + 4), 6);  // an empty text is a block of six bytes
}

TEST_F(CrashBlockTest, FilesPropertiesAndKeysAreItemsWithTheirStrings) {
  setenv("QUORVANTA_REGISTRY", (dir_ / "registry.db").c_str(), 1);
  platform::RegCloseKey(platform::RegCreateKey("SOFTWARE\\Quorvanta"));
  std::ofstream(dir_ / "log.txt") << "log";
  ASSERT_EQ(Install(), 0) << LastError();
  auto block = Block();
  const unsigned char* b = block->Data();
  const uint32_t before = U32(b, 8);

  const std::u16string log = U16(dir_ / "log.txt");
  ASSERT_EQ(AddReportFile(log.c_str(), u"app.log", u"the log", CRASH_FILE_OPTION_1), 0) << LastError();
  EXPECT_EQ(U32(b, 16), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + before), 3), "FIL");
  const uint32_t fileSize = 28 + (6 + 2 * log.size()) + (6 + 2 * 7) + (6 + 2 * 7);
  EXPECT_EQ(U16At(b, before + 4), fileSize);
  EXPECT_EQ(U32(b, before + 8), before + 28);  // the strings follow the item directly
  EXPECT_EQ(StringAt(b, U32(b, before + 12)), "app.log");
  EXPECT_EQ(StringAt(b, U32(b, before + 16)), "the log");
  EXPECT_EQ(U32(b, before + 20), 1u);
  EXPECT_EQ(U32(b, before + 24), 0u);
  EXPECT_EQ(U32(b, 8), before + fileSize);

  // A replaced property value is a second item: the block keeps both.
  ASSERT_EQ(AddReportProperty(u"build", u"1"), 0);
  ASSERT_EQ(AddReportProperty(u"build", u"2"), 0);
  EXPECT_EQ(U32(b, 24), 2u);
  const uint32_t property = before + fileSize;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + property), 3), "CPR");
  EXPECT_EQ(U16At(b, property + 4), 16 + 16 + 8);
  EXPECT_EQ(StringAt(b, U32(b, property + 8)), "build");
  EXPECT_EQ(StringAt(b, U32(b, property + 12)), "1");

  const uint32_t key = U32(b, 8);
  ASSERT_EQ(AddReportRegistryKey(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", u"settings.txt", 1), 0) << LastError();
  EXPECT_EQ(U32(b, 20), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + key), 3), "REG");
  EXPECT_EQ(U32(b, key + 8), 1u);
  EXPECT_EQ(StringAt(b, U32(b, key + 12)), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta");
  EXPECT_EQ(StringAt(b, U32(b, key + 16)), "settings.txt");
  EXPECT_EQ(Walk(b).size(), 17u + 4);

  // Refused keys change nothing and all say the same.
  const uint32_t used = U32(b, 8);
  for (const char16_t* path :
       {u"HKEY_USERS\\SOFTWARE\\Quorvanta", u"HKEY_LOCAL_MACHINE\\", u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing"}) {
    EXPECT_EQ(AddReportRegistryKey(path, u"x.txt", 0), 2);
    EXPECT_EQ(LastError(), "Invalid parameter or key doesn't exist.");
  }
  EXPECT_EQ(AddReportRegistryKey(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", u"a/b.txt", 0), 2);
  EXPECT_EQ(U32(b, 8), used);
}

TEST_F(CrashBlockTest, FileRulesForMissingFilesDuplicatesAndPatterns) {
  ASSERT_EQ(Install(), 0);
  const std::u16string missing = U16(dir_ / "missing.txt");
  EXPECT_EQ(AddReportFile(missing.c_str(), nullptr, nullptr, 0), 2);
  EXPECT_EQ(LastError(), "The file does not exists or not a regular file.");
  EXPECT_EQ(AddReportFile(missing.c_str(), nullptr, nullptr, CRASH_FILE_MAY_BE_MISSING), 0);
  EXPECT_EQ(AddReportFile(missing.c_str(), nullptr, nullptr, CRASH_FILE_MAY_BE_MISSING), 2);
  EXPECT_EQ(LastError(), "A file with such a destination name already exists.");
  EXPECT_EQ(AddReportFile(missing.c_str(), u"  ", nullptr, CRASH_FILE_MAY_BE_MISSING), 2);
  EXPECT_EQ(LastError(), "Invalid destination file name specified.");
  EXPECT_EQ(AddReportFile(static_cast<const char16_t*>(nullptr), nullptr, nullptr, 0), 2);
  EXPECT_EQ(LastError(), "Invalid file name specified.");
  // Two patterns with the same last component replace each other.
  EXPECT_EQ(AddReportFile(u"/var/log/*.log", nullptr, nullptr, 0), 0);
  EXPECT_EQ(AddReportFile(u"/tmp/*.log", u"ignored", nullptr, 0), 0);
  EXPECT_EQ(crash::g_crashHandler.load()->files.size(), 2u);  // missing.txt and *.log
}

TEST_F(CrashBlockTest, AdditionsThatWouldOutgrowTheBlockAreRefused) {
  ASSERT_EQ(Install(), 0);
  auto block = Block();
  const unsigned char* b = block->Data();
  uint32_t used = U32(b, 8);

  std::u16string tooLong(32765, u'x');
  EXPECT_EQ(AddReportProperty(u"long", tooLong.c_str()), 2);
  EXPECT_EQ(LastError(), "The text is longer than 32764 characters.");
  EXPECT_EQ(U32(b, 8), used);

  // Three texts that each fit but together outgrow a 16-bit item size.
  std::u16string big(20000, u'y');
  EXPECT_EQ(AddReportFile(big.c_str(), big.c_str(), big.c_str(), CRASH_FILE_MAY_BE_MISSING), 2);
  EXPECT_EQ(LastError(), "The item is larger than 65535 bytes.");
  EXPECT_EQ(U32(b, 16), 0u);
  EXPECT_EQ(U32(b, 8), used);

  // Fill the block with properties as large as an item may be.
  std::u16string value(32700, u'v');
  int added = 0;
  for (int i = 0; i < 1000; ++i) {
    std::u16string name = U16("p" + std::to_string(i));
    if (AddReportProperty(name.c_str(), value.c_str()) != 0) break;
    ++added;
  }
  EXPECT_GT(added, 100);
  EXPECT_LT(added, 1000);
  EXPECT_EQ(LastError(), "No room is left in the crash description block.");
  EXPECT_LE(U32(b, 8), 10485760u);
  EXPECT_EQ(U32(b, 24), static_cast<uint32_t>(added));
  EXPECT_EQ(crash::g_crashHandler.load()->properties.size(), static_cast<size_t>(added));
}

TEST_F(CrashBlockTest, ScreenshotAndVideoRequests) {
  ASSERT_EQ(Install(), 0);
  auto block = Block();
  const unsigned char* b = block->Data();
  EXPECT_EQ(AddReportScreenshot(0, 101), 1);
  EXPECT_EQ(LastError(), "Invalid Jpeg quality.");
  EXPECT_EQ(U32(b, 56), 0u);
  EXPECT_EQ(AddReportScreenshot(3, 60), 0);
  EXPECT_EQ(U32(b, 56), 1u);
  EXPECT_EQ(U32(b, 60), 3u);
  EXPECT_EQ(U32(b, 64), 60u);

  EXPECT_EQ(AddReportVideo(0, 600001, 0, nullptr, 0), 2);
  EXPECT_EQ(LastError(), "Invalid video duration.");
  EXPECT_EQ(AddReportVideo(0, 0, 70000, nullptr, 0), 3);
  EXPECT_EQ(LastError(), "Invalid frame interval.");
  EXPECT_EQ(U32(b, 180), 0u);
}

}  // namespace
