// The sender's reader of crash blocks: valid blocks read back whole, hostile
// ones are refused or cut short without reading outside the bytes given.
#include <gtest/gtest.h>

#include <random>

#include "crash_block.h"
#include "support/crash_block_builder.h"

namespace {

using qvtest::CrashBlockBuilder;
using sender::CrashBlock;
using sender::ParseCrashBlock;

constexpr const char* kGuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

CrashBlockBuilder Standard() {
  return CrashBlockBuilder::Standard(kGuid, "/home/u/.local/share/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8",
                                     "http://127.0.0.1:1/upload");
}

bool Parse(std::vector<unsigned char>& bytes, CrashBlock* block, std::string* error = nullptr) {
  std::string ignored;
  return ParseCrashBlock(bytes.data(), bytes.size(), block, error ? error : &ignored);
}

TEST(CrashBlockReader, ReadsEveryHeaderFieldItemAndTheCrashRecord) {
  CrashBlockBuilder b = Standard();
  b.Put32(56, 1);
  b.Put32(60, 7);
  b.AddFile("/var/log/a.log", "a.log", "the log", 1, 0);
  b.AddFile("/tmp/*.txt", "*.txt", "", 0, 1);
  b.AddProperty(
      "Gr\xC3\xBC\xC3\x9F"
      "e",
      "\xF0\x9F\x98\x80 smile");
  b.AddKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", "quorvanta.reg", 1);
  b.SetCrash(4242, 4243, 0, 0xC0000005, 11, 1, 0xdeadbeef1234ull);
  CrashBlock block;
  std::string error;
  ASSERT_TRUE(Parse(b.bytes(), &block, &error)) << error;
  EXPECT_EQ(block.appName, "Quorvanta GUI");
  EXPECT_EQ(block.appVersion, "0.0.8");
  EXPECT_EQ(block.crashGuid, kGuid);
  EXPECT_EQ(block.uploadUrl, "http://127.0.0.1:1/upload");
  EXPECT_EQ(block.emailSubject, "Quorvanta GUI 0.0.8 Error Report");
  EXPECT_EQ(block.flags, 0x43FFFu);
  EXPECT_EQ(block.screenshot, 1u);
  EXPECT_EQ(block.screenshotFlags, 7u);
  EXPECT_EQ(block.screenshotQuality, 95u);
  EXPECT_EQ(block.processId, 4242u);
  EXPECT_EQ(block.exceptionCode, 0xC0000005u);
  EXPECT_EQ(block.crashOccurred, 1u);
  EXPECT_TRUE(block.damage.empty()) << block.damage;
  ASSERT_EQ(block.files.size(), 2u);
  EXPECT_EQ(block.files[0].source, "/var/log/a.log");
  EXPECT_EQ(block.files[0].destination, "a.log");
  EXPECT_EQ(block.files[0].description, "the log");
  EXPECT_EQ(block.files[0].option1, 1);
  EXPECT_EQ(block.files[1].option2, 1);
  ASSERT_EQ(block.properties.size(), 1u);
  EXPECT_EQ(block.properties[0].name,
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(block.properties[0].value, "\xF0\x9F\x98\x80 smile");
  ASSERT_EQ(block.keys.size(), 1u);
  EXPECT_EQ(block.keys[0].keyPath, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta");
  EXPECT_EQ(block.keys[0].option, 1);
  ASSERT_TRUE(block.lnx.present);
  EXPECT_EQ(block.lnx.faultAddress, 0xdeadbeef1234ull);
  EXPECT_EQ(block.lnx.signal, 11);
  EXPECT_EQ(block.lnx.signalCode, 1);
  EXPECT_EQ(block.lnx.threadId, 4243);
}

TEST(CrashBlockReader, RefusesHeadersThatAreNotThisFormat) {
  CrashBlock block;
  std::vector<unsigned char> tiny(100, 0);
  EXPECT_FALSE(Parse(tiny, &block));

  auto wrongTag = Standard();
  wrongTag.bytes()[0] = 'X';
  EXPECT_FALSE(Parse(wrongTag.bytes(), &block));

  auto wrongVersion = Standard();
  wrongVersion.Put32(12, 1401);
  EXPECT_FALSE(Parse(wrongVersion.bytes(), &block));

  auto wrongHeaderSize = Standard();
  wrongHeaderSize.Put16(4, 200);
  EXPECT_FALSE(Parse(wrongHeaderSize.bytes(), &block));

  auto usedPastEnd = Standard();
  usedPastEnd.Put32(8, usedPastEnd.Used() + 1);
  EXPECT_FALSE(Parse(usedPastEnd.bytes(), &block));

  auto usedInsideHeader = Standard();
  usedInsideHeader.Put32(8, 100);
  EXPECT_FALSE(Parse(usedInsideHeader.bytes(), &block));
}

TEST(CrashBlockReader, RefusesTextOffsetsThatPointAnywhereButAStringInsideBytesUsed) {
  CrashBlock block;
  auto intoHeader = Standard();
  intoHeader.Put32(CrashBlockBuilder::kAppName, 20);
  EXPECT_FALSE(Parse(intoHeader.bytes(), &block));

  auto pastUsed = Standard();
  pastUsed.Put32(CrashBlockBuilder::kAppName, pastUsed.Used() - 2);
  EXPECT_FALSE(Parse(pastUsed.bytes(), &block));

  // A string whose size runs past bytes used, though the mapping goes on.
  auto longString = Standard();
  const uint32_t at = longString.AddString("abc");
  longString.Put16(at + 4, 6 + 2 * 100);
  longString.Put32(CrashBlockBuilder::kSubject, at);
  longString.bytes().resize(longString.bytes().size() + 400, 'x');
  EXPECT_FALSE(Parse(longString.bytes(), &block));

  auto oddSize = Standard();
  const uint32_t odd = oddSize.AddString("abcd");
  oddSize.Put16(odd + 4, 9);
  oddSize.Put32(CrashBlockBuilder::kAppVersion, odd);
  EXPECT_FALSE(Parse(oddSize.bytes(), &block));

  auto notAString = Standard();
  const uint32_t property = notAString.AddProperty("a", "b");
  notAString.Put32(CrashBlockBuilder::kAppName, property);
  EXPECT_FALSE(Parse(notAString.bytes(), &block));
}

TEST(CrashBlockReader, RefusesNamesThatWouldLeadOutOfTheReportFolder) {
  CrashBlock block;
  std::string error;
  for (const char* guid : {"../../../../tmp/evil", "", "0f8fad5b-d9cb-469f-a165-70867728950e/..",
                           "0f8fad5b/d9cb-469f-a165-70867728950e0"}) {
    auto b = CrashBlockBuilder::Standard(guid, "/tmp/reports");
    EXPECT_FALSE(Parse(b.bytes(), &block, &error)) << guid;
  }
  for (const char* dir : {"", "relative/dir", "/tmp/../etc", "/tmp/..", "/.."}) {
    auto b = CrashBlockBuilder::Standard(kGuid, dir);
    EXPECT_FALSE(Parse(b.bytes(), &block, &error)) << dir;
  }
  auto noName = Standard();
  noName.SetString(CrashBlockBuilder::kAppName, "");
  EXPECT_FALSE(Parse(noName.bytes(), &block));
}

TEST(CrashBlockReader, KeepsItemsBeforeATornRecordAndStillFindsTheCrashRecord) {
  auto b = Standard();
  b.AddFile("/a", "a", "");
  // An append cut short by the crash: the size is written last.
  const uint32_t torn = b.AddProperty("p", "v");
  b.Put16(torn + 4, 0);
  b.SetCrash(1, 2, 11, 0, 11, 1, 0x10);
  CrashBlock block;
  ASSERT_TRUE(Parse(b.bytes(), &block));
  EXPECT_EQ(block.files.size(), 1u);
  EXPECT_TRUE(block.properties.empty());
  EXPECT_FALSE(block.damage.empty());
  EXPECT_TRUE(block.lnx.present);
  EXPECT_EQ(block.lnx.faultAddress, 0x10u);

  auto unknown = Standard();
  const uint32_t at = unknown.AddProperty("p", "v");
  std::memcpy(unknown.bytes().data() + at, "XYZ", 3);
  ASSERT_TRUE(Parse(unknown.bytes(), &block));
  EXPECT_TRUE(block.properties.empty());
  EXPECT_NE(block.damage.find("unknown record"), std::string::npos);

  auto badItemString = Standard();
  const uint32_t file = badItemString.AddFile("/a", "a", "");
  badItemString.Put32(file + 12, 0xFFFFFFF0u);
  ASSERT_TRUE(Parse(badItemString.bytes(), &block));
  EXPECT_TRUE(block.files.empty());
  EXPECT_FALSE(block.damage.empty());
}

TEST(CrashBlockReader, DecodesUtf16WithBrokenSurrogatesReplaced) {
  const unsigned char lone[] = {0x41, 0x00, 0x00, 0xD8, 0x42, 0x00, 0x00, 0xDC};
  EXPECT_EQ(sender::Utf16ToUtf8(lone, 4),
            "A\xEF\xBF\xBD"
            "B\xEF\xBF\xBD");
  const unsigned char pair[] = {0x3D, 0xD8, 0x00, 0xDE};
  EXPECT_EQ(sender::Utf16ToUtf8(pair, 2), "\xF0\x9F\x98\x80");
}

TEST(CrashBlockNames, FileNamesAreSingleComponents) {
  for (const char* bad : {"", ".", "..", "a/b", "../x", "a\\b", "a\nb", "/etc/passwd"}) {
    EXPECT_FALSE(sender::IsSafeFileName(bad)) << bad;
  }
  EXPECT_FALSE(sender::IsSafeFileName(std::string(256, 'a')));
  for (const char* good : {"a.log", "...x", "report 1.txt",
                           "Gr\xC3\xBC\xC3\x9F"
                           "e.txt"}) {
    EXPECT_TRUE(sender::IsSafeFileName(good)) << good;
  }
}

TEST(CrashBlockNames, FolderNamesAreMadeSafeAndGuidsChecked) {
  EXPECT_EQ(sender::SanitizeFolderName("Quorvanta GUI_0.0.8"), "Quorvanta GUI_0.0.8");
  EXPECT_EQ(sender::SanitizeFolderName("../x/y\\z"), ".._x_y_z");
  EXPECT_EQ(sender::SanitizeFolderName(".."), "_");
  EXPECT_EQ(sender::SanitizeFolderName("a\nb"), "a_b");
  // Cut on a character boundary: 199 ASCII bytes then a two-byte character.
  std::string longName(199, 'a');
  longName +=
      "\xC3\xBC"
      "tail";
  EXPECT_EQ(sender::SanitizeFolderName(longName), std::string(199, 'a'));
  EXPECT_TRUE(sender::LooksLikeGuid("0F8FAD5B-D9CB-469F-A165-70867728950E"));
  EXPECT_FALSE(sender::LooksLikeGuid("0f8fad5b-d9cb-469f-a165-70867728950"));
  EXPECT_FALSE(sender::LooksLikeGuid("0f8fad5b-d9cb-469f-a165_70867728950e"));
  EXPECT_FALSE(sender::LooksLikeGuid("0f8fad5b-d9cb-469f-a165-7086772895.."));
}

// Random damage to a valid block, run under ASan in CI: the reader never reads
// outside the bytes, and what it accepts keeps its promises.
TEST(CrashBlockReader, SurvivesRandomDamage) {
  auto b = Standard();
  b.AddFile("/var/log/a.log", "a.log", "the log");
  b.AddProperty("name", "value");
  b.AddKey("HKEY_CURRENT_USER\\Software\\Quorvanta", "user.reg");
  b.SetCrash(1, 2, 11, 0, 11, 1, 0);
  const std::vector<unsigned char> base = b.bytes();
  std::mt19937 random(1402);
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<unsigned char> bytes = base;
    const int hits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < hits; ++i) {
      const size_t at = random() % bytes.size();
      // Mostly small numbers near the header and sizes, where damage matters most.
      bytes[at] = static_cast<unsigned char>(random() % 4 == 0 ? random() : random() % 8);
    }
    if (random() % 4 == 0) bytes.resize(random() % bytes.size());
    // Exactly the bytes: ASan sees any read past them.
    std::vector<unsigned char> exact(bytes.begin(), bytes.end());
    exact.shrink_to_fit();
    CrashBlock block;
    std::string error;
    if (!ParseCrashBlock(exact.data(), exact.size(), &block, &error)) continue;
    ++accepted;
    ASSERT_LE(block.bytesUsed, exact.size());
    ASSERT_TRUE(sender::LooksLikeGuid(block.crashGuid));
    ASSERT_FALSE(block.saveDirectory.empty());
    ASSERT_EQ(block.saveDirectory[0], '/');
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
