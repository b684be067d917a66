// Settings read and written through a real registry database file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/shared_state.h"
#include "config/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "support/child_process.h"

namespace {

std::vector<std::string> g_messages;

void Capture(const char* caption, const char* text, platform::MessageIcon icon) {
  g_messages.push_back(std::string(caption) + "|" + text +
                       (icon == platform::MessageIcon::None ? "" : "|icon"));
}

std::string Box(const std::string& text) { return "Quorvanta|" + text; }

constexpr const char* kProduct = "SOFTWARE\\Quorvanta";
constexpr const char* kCrypto = "SOFTWARE\\Microsoft\\Cryptography";
constexpr const char* kGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ / "registry.db";
    setenv("QUORVANTA_REGISTRY", db_.c_str(), 1);
    unsetenv("QUORVANTA_MESSAGES");
    platform::SetMessageBoxHandler(&Capture);
    g_messages.clear();
    std::memset(ConfigDirectory, 0, sizeof ConfigDirectory);
    std::memset(ProfilePath, 0, sizeof ProfilePath);
    std::memset(MachineId, 0, sizeof MachineId);
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr); }

  static void SetString(const char* key, const char* name, const std::string& text) {
    platform::RegKey* k = platform::RegCreateKey(key);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(platform::RegSetValue(k, name, platform::kRegSz, text.c_str(),
                                      static_cast<uint32_t>(text.size() + 1)));
    platform::RegCloseKey(k);
  }
  static void SetDword(const char* key, const char* name, uint32_t value) {
    platform::RegKey* k = platform::RegCreateKey(key);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(platform::RegSetValue(k, name, platform::kRegDword, &value, sizeof value));
    platform::RegCloseKey(k);
  }
  // The stored REG_SZ text, or "<missing>" / "<type N>".
  static std::string Get(const char* key, const char* name) {
    platform::RegKey* k = platform::RegOpenKey(key, platform::RegAccess::Read);
    if (!k) return "<no key>";
    char buffer[1024];
    uint32_t type = 0, size = sizeof buffer;
    bool ok = platform::RegQueryValue(k, name, &type, buffer, &size);
    platform::RegCloseKey(k);
    if (!ok) return "<missing>";
    if (type != platform::kRegSz) return "<type " + std::to_string(type) + ">";
    return buffer;
  }
  void Install(const std::string& base) {
    SetString(kProduct, nullptr, base);
    SetString(kCrypto, "MachineGuid", kGuid);
  }
  bool DatabaseExists() const { return access(db_.c_str(), F_OK) == 0; }
  // Turns the database into one this test process may read but not write:
  // read-only permissions, and a child running as nobody when we are root.
  void MakeReadOnly() {
    ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  }
  // Runs fn with the captured messages of the child returned, "" for none.
  static qvtest::ChildResult AsReader(const std::function<int()>& fn) {
    return qvtest::RunInChild(
        [&] {
          g_messages.clear();
          std::string out = std::to_string(fn());
          for (const auto& m : g_messages) out += "\n" + m;
          return out;
        },
        true);
  }

  qvtest::TempDir dir_;
  std::string db_;
};

TEST_F(SettingsTest, BaseDirectoryWithOrWithoutSeparatorGivesSameConfigDirectory) {
  for (const char* base : {"/opt/quorvanta", "/opt/quorvanta/"}) {
    SCOPED_TRACE(base);
    platform::RegDeleteKeyTree("SOFTWARE");
    Install(base);
    ASSERT_EQ(LoadConfiguration(), 1);
    EXPECT_STREQ(ConfigDirectory, "/opt/quorvanta/config/");
    EXPECT_STREQ(ProfilePath, "/opt/quorvanta/config/data.vpn");
    EXPECT_STREQ(MachineId, kGuid);
    // The default is written back so the next start finds it.
    EXPECT_EQ(Get(kProduct, "config_dir"), "/opt/quorvanta/config");
  }
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(SettingsTest, EmptyBaseDirectoryCountsAsWithoutSeparator) {
  Install("");
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_STREQ(ConfigDirectory, "/config/");
}

TEST_F(SettingsTest, StoredConfigDirectoryIsUsedAndLeftAlone) {
  Install("/opt/q");
  SetString(kProduct, "CONFIG_DIR", "/srv/vpn");
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_STREQ(ConfigDirectory, "/srv/vpn/");
  EXPECT_STREQ(ProfilePath, "/srv/vpn/data.vpn");
  EXPECT_EQ(Get(kProduct, "config_dir"), "/srv/vpn");
}

TEST_F(SettingsTest, ConfigDirectoryOfAnotherTypeOrTooLongIsOverwritten) {
  Install("/opt/q");
  SetDword(kProduct, "config_dir", 7);
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_STREQ(ConfigDirectory, "/opt/q/config/");
  EXPECT_EQ(Get(kProduct, "config_dir"), "/opt/q/config");

  SetString(kProduct, "config_dir", std::string(260, 'x'));
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_STREQ(ConfigDirectory, "/opt/q/config/");
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(SettingsTest, LongestPathsStayBounded) {
  Install("/" + std::string(258, 'b'));  // 259 characters
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(std::strlen(ConfigDirectory), 259u);
  EXPECT_EQ(std::strlen(ProfilePath), 259u);
}

TEST_F(SettingsTest, MissingProductKeyFailsToReadAndCreatesNothing) {
  ASSERT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>{Box("Error opening registry for reading.")});
  EXPECT_FALSE(DatabaseExists());

  SetString(kCrypto, "MachineGuid", kGuid);  // a database without the product key
  g_messages.clear();
  ASSERT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>{Box("Error opening registry for reading.")});
  EXPECT_EQ(Get(kProduct, nullptr), "<no key>");
}

TEST_F(SettingsTest, UnusableBaseDirectoryValueFailsToRead) {
  SetString(kCrypto, "MachineGuid", kGuid);
  platform::RegCloseKey(platform::RegCreateKey(kProduct));  // key without default value
  EXPECT_EQ(LoadConfiguration(), 0);
  SetDword(kProduct, "", 1);
  EXPECT_EQ(LoadConfiguration(), 0);
  SetString(kProduct, "", std::string(260, 'd'));  // 260 characters do not fit
  EXPECT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>(3, Box("Error opening registry for reading.")));
}

TEST_F(SettingsTest, MachineIdMustBeAShortString) {
  Install("/opt/q");
  SetString(kCrypto, "MachineGuid", std::string(60, 'a'));
  EXPECT_EQ(LoadConfiguration(), 0);
  SetDword(kCrypto, "MachineGuid", 5);
  EXPECT_EQ(LoadConfiguration(), 0);
  platform::RegDeleteKeyTree(kCrypto);
  EXPECT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>(3, Box("Error reading machine id.")));

  SetString(kCrypto, "MachineGuid", std::string(59, 'a'));
  EXPECT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(std::string(MachineId), std::string(59, 'a'));
}

TEST_F(SettingsTest, CorruptDatabaseIsAnUnreadableRegistry) {
  {
    std::ofstream out(db_);
    out << std::string(4096, 'Z');
  }
  EXPECT_EQ(LoadConfiguration(), 0);
  char buffer[260] = "unchanged";
  EXPECT_EQ(ReadSetting("ref", buffer, "", sizeof buffer), 0);
  EXPECT_EQ(WriteSetting("ref", ""), 0);
  EXPECT_EQ(g_messages, (std::vector<std::string>{Box("Error opening registry for reading."),
                                                  Box("Error creating registry key"),
                                                  Box("Error creating registry key.")}));
}

TEST_F(SettingsTest, ReadSettingCreatesTheKeyAndStoresTheDefault) {
  char buffer[260];
  ASSERT_EQ(ReadSetting("ref", buffer, "", sizeof buffer), 1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Get("software\\QUORVANTA", "REF"), "");

  ASSERT_EQ(WriteSetting("ref", "abc123"), 1);
  ASSERT_EQ(ReadSetting("ref", buffer, "zzz", sizeof buffer), 1);
  EXPECT_STREQ(buffer, "abc123");
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(SettingsTest, DefaultIsCutToTheCallersBuffer) {
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  ASSERT_EQ(ReadSetting("word", buffer, "abcdefghijkl", sizeof buffer), 1);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(Get(kProduct, "word"), "abcdefghijkl");  // the registry keeps it whole
}

TEST_F(SettingsTest, FailedValueWriteNamesTheValue) {
  Install("/opt/q");
  {
    // A trigger refusing every value write: the key opens read-write, the write fails.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON reg_values "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  char buffer[260];
  EXPECT_EQ(ReadSetting("ref", buffer, "", sizeof buffer), 0);
  EXPECT_EQ(WriteSetting("ref", "x"), 0);
  EXPECT_EQ(LoadConfiguration(), 0);
  const std::string longName(300, 'n');
  EXPECT_EQ(WriteSetting(longName.c_str(), "x"), 0);
  ASSERT_EQ(g_messages.size(), 4u);
  EXPECT_EQ(g_messages[0], Box("Error reading and setting registry key ref."));
  EXPECT_EQ(g_messages[1], Box("Error reading and setting registry key ref."));
  EXPECT_EQ(g_messages[2], Box("Error reading and setting registry key config_dir."));
  // 256-byte message buffer: 255 characters survive.
  EXPECT_EQ(g_messages[3], Box(("Error reading and setting registry key " + longName).substr(0, 255)));
}

TEST_F(SettingsTest, ReadOnlyRegistryRefusesWritesWithTheWritingMessage) {
  Install("/opt/q");
  MakeReadOnly();
  // "config_dir" is missing, so start-up has to write and cannot.
  auto missing = AsReader([] { return LoadConfiguration(); });
  ASSERT_EQ(missing.exitCode, 0);
  EXPECT_EQ(missing.output, "0\n" + Box("Failed to open the registry for writing."));

  auto write = AsReader([] { return WriteSetting("ref", ""); });
  EXPECT_EQ(write.output, "0\n" + Box("Failed to open the registry for writing."));

  auto read = AsReader([] {
    char buffer[260];
    return ReadSetting("ref", buffer, "", sizeof buffer);
  });
  EXPECT_EQ(read.output, "0\n" + Box("Failed to open the registry for writing."));
}

TEST_F(SettingsTest, ReadOnlyRegistryWithEverythingStoredStillStarts) {
  Install("/opt/q");
  SetString(kProduct, "config_dir", "/srv/q");
  MakeReadOnly();
  auto result = AsReader([] {
    int ok = LoadConfiguration();
    return ok && std::strcmp(ProfilePath, "/srv/q/data.vpn") == 0 ? 1 : 0;
  });
  EXPECT_EQ(result.output, "1");
}

TEST_F(SettingsTest, ReadOnlyRegistryWithoutProductKeyCannotCreateIt) {
  SetString(kCrypto, "MachineGuid", kGuid);
  MakeReadOnly();
  auto read = AsReader([] {
    char buffer[260];
    return ReadSetting("ref", buffer, "", sizeof buffer);
  });
  EXPECT_EQ(read.output, "0\n" + Box("Error creating registry key"));
  auto write = AsReader([] { return WriteSetting("ref", ""); });
  EXPECT_EQ(write.output, "0\n" + Box("Error creating registry key."));
}

}  // namespace
