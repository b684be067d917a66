// Settings read and written through the system's settings store.
#include "settings_fixture.h"

namespace {

TEST_F(SettingsTest, BaseDirectoryWithOrWithoutSeparatorGivesSameConfigDirectory) {
  for (const std::string& base : {Native("/opt/quorvanta"), Native("/opt/quorvanta/")}) {
    SCOPED_TRACE(base);
    platform::RegDeleteKeyTree(kProduct);
    Install(base);
    ASSERT_EQ(LoadConfiguration(), 1);
    EXPECT_EQ(ConfigDirectory, Native("/opt/quorvanta/config/"));
    EXPECT_EQ(ProfilePath, Native("/opt/quorvanta/config/data.vpn"));
    EXPECT_STREQ(MachineId, kGuid);
    // The default is written back so the next start finds it.
    EXPECT_EQ(Get(kProduct, "config_dir"), Native("/opt/quorvanta/config"));
  }
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(SettingsTest, EmptyBaseDirectoryCountsAsWithoutSeparator) {
  Install("");
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(ConfigDirectory, Native("/config/"));
}

TEST_F(SettingsTest, StoredConfigDirectoryIsUsedAndLeftAlone) {
  Install(Native("/opt/q"));
  SetString(kProduct, "CONFIG_DIR", Native("/srv/vpn"));
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(ConfigDirectory, Native("/srv/vpn/"));
  EXPECT_EQ(ProfilePath, Native("/srv/vpn/data.vpn"));
  EXPECT_EQ(Get(kProduct, "config_dir"), Native("/srv/vpn"));
}

TEST_F(SettingsTest, ConfigDirectoryOfAnotherTypeOrTooLongIsOverwritten) {
  Install(Native("/opt/q"));
  SetDword(kProduct, "config_dir", 7);
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(ConfigDirectory, Native("/opt/q/config/"));
  EXPECT_EQ(Get(kProduct, "config_dir"), Native("/opt/q/config"));

  SetString(kProduct, "config_dir", std::string(260, 'x'));
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(ConfigDirectory, Native("/opt/q/config/"));
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(SettingsTest, LongestPathsStayBounded) {
  Install(Native("/" + std::string(258, 'b')));  // 259 characters
  ASSERT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(std::strlen(ConfigDirectory), 259u);
  EXPECT_EQ(std::strlen(ProfilePath), 259u);
}

TEST_F(SettingsTest, MissingProductKeyFailsToReadAndCreatesNothing) {
  ASSERT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>{Box("Error opening registry for reading.")});
  EXPECT_EQ(Get(kProduct, nullptr), "<no key>");

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
  Install(Native("/opt/q"));
  SetString(kCrypto, "MachineGuid", std::string(60, 'a'));
  EXPECT_EQ(LoadConfiguration(), 0);
  SetDword(kCrypto, "MachineGuid", 5);
  EXPECT_EQ(LoadConfiguration(), 0);
  // The machine's own key stays; only the value goes.
  DeleteMachineId();
  EXPECT_EQ(LoadConfiguration(), 0);
  EXPECT_EQ(g_messages, std::vector<std::string>(3, Box("Error reading machine id.")));

  SetString(kCrypto, "MachineGuid", std::string(59, 'a'));
  EXPECT_EQ(LoadConfiguration(), 1);
  EXPECT_EQ(std::string(MachineId), std::string(59, 'a'));
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

}  // namespace
