// The settings store's database file itself: corrupt, refusing writes, or
// readable only.
#include <sqlite3.h>
#include <unistd.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "settings_fixture.h"
#include "support/child_process.h"

namespace {

class SettingsLinuxTest : public SettingsTest {
 protected:
  bool DatabaseExists() const { return access(db_.c_str(), F_OK) == 0; }
  // Turns the database into one this test process may read but not write:
  // read-only permissions, and a child running as nobody when we are root.
  void MakeReadOnly() {
    ASSERT_EQ(chmod(db_.c_str(), 0444), 0);
    ASSERT_EQ(chmod(sandbox_.directory().c_str(), 0555), 0);
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
};

TEST_F(SettingsLinuxTest, MissingKeysCreateNoDatabase) {
  ASSERT_EQ(LoadConfiguration(), 0);
  EXPECT_FALSE(DatabaseExists());
  // Without the machine's key at all, as without its value.
  Install("/opt/q");
  platform::RegDeleteKeyTree(kCrypto);
  EXPECT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages,
            (std::vector<std::string>{Box("Error opening registry for reading."), Box("Error reading machine id.")}));
}

TEST_F(SettingsLinuxTest, CorruptDatabaseIsAnUnreadableRegistry) {
  {
    std::ofstream out(db_);
    out << std::string(4096, 'Z');
  }
  EXPECT_EQ(LoadConfiguration(), 0);
  char buffer[260] = "unchanged";
  EXPECT_EQ(ReadSetting("ref", buffer, "", sizeof buffer), 0);
  EXPECT_EQ(WriteSetting("ref", ""), 0);
  EXPECT_EQ(g_messages,
            (std::vector<std::string>{Box("Error opening registry for reading."), Box("Error creating registry key"),
                                      Box("Error creating registry key.")}));
}

TEST_F(SettingsLinuxTest, FailedValueWriteNamesTheValue) {
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

TEST_F(SettingsLinuxTest, ReadOnlyRegistryRefusesWritesWithTheWritingMessage) {
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

TEST_F(SettingsLinuxTest, ReadOnlyRegistryWithEverythingStoredStillStarts) {
  Install("/opt/q");
  SetString(kProduct, "config_dir", "/srv/q");
  MakeReadOnly();
  auto result = AsReader([] {
    int ok = LoadConfiguration();
    return ok && std::strcmp(ProfilePath, "/srv/q/data.vpn") == 0 ? 1 : 0;
  });
  EXPECT_EQ(result.output, "1");
}

TEST_F(SettingsLinuxTest, ReadOnlyRegistryWithoutProductKeyCannotCreateIt) {
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
