// The registry store on real database files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "support/child_process.h"

namespace {

using platform::RegAccess;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_ / "sub/dir/registry.db";
    setenv("QUORVANTA_REGISTRY", db_.c_str(), 1);
  }
  static bool PutString(platform::RegKey* key, const char* name, const std::string& text) {
    return platform::RegSetValue(key, name, platform::kRegSz, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  }
  static std::string GetString(platform::RegKey* key, const char* name) {
    char buffer[512];
    uint32_t type = 0, size = sizeof buffer;
    if (!platform::RegQueryValue(key, name, &type, buffer, &size)) return "<missing>";
    if (type != platform::kRegSz) return "<type>";
    return std::string(buffer);
  }

  qvtest::TempDir dir_;
  std::string db_;
};

TEST_F(RegistryTest, MissingDatabaseOpensNothingAndCreateMakesIt) {
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read), nullptr);
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::ReadWrite), nullptr);
  EXPECT_NE(access(db_.c_str(), F_OK), 0);

  platform::RegKey* key = platform::RegCreateKey("Software\\Quorvanta");
  ASSERT_NE(key, nullptr);  // the directories were made too
  platform::RegCloseKey(key);
  EXPECT_STREQ(platform::RegistryPath(), db_.c_str());
  EXPECT_EQ(access(db_.c_str(), F_OK), 0);
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCase) {
  platform::RegKey* key = platform::RegCreateKey("\\Software\\Quorvanta\\");
  ASSERT_NE(key, nullptr);
  ASSERT_TRUE(PutString(key, "Config_Dir", "/a"));
  ASSERT_TRUE(PutString(key, nullptr, "/base"));
  platform::RegCloseKey(key);

  platform::RegKey* again = platform::RegOpenKey("SOFTWARE\\QUORVANTA", RegAccess::Read);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetString(again, "config_dir"), "/a");
  EXPECT_EQ(GetString(again, ""), "/base");  // "" and nullptr are the default value
  platform::RegCloseKey(again);

  // Ancestors exist as keys of their own; a bare prefix of a name does not.
  platform::RegKey* parent = platform::RegOpenKey("software", RegAccess::Read);
  EXPECT_NE(parent, nullptr);
  platform::RegCloseKey(parent);
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorv", RegAccess::Read), nullptr);
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\\\Quorvanta", RegAccess::Read), nullptr);
}

TEST_F(RegistryTest, TypedValuesAndBufferSizes) {
  platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
  ASSERT_NE(key, nullptr);
  uint32_t dword = 0xDEADBEEF;
  ASSERT_TRUE(platform::RegSetValue(key, "n", platform::kRegDword, &dword, sizeof dword));
  EXPECT_FALSE(platform::RegSetValue(key, "bad", platform::kRegDword, &dword, 2));

  uint32_t type = 0, out = 0, size = sizeof out;
  ASSERT_TRUE(platform::RegQueryValue(key, "N", &type, &out, &size));
  EXPECT_EQ(type, platform::kRegDword);
  EXPECT_EQ(out, 0xDEADBEEF);

  ASSERT_TRUE(PutString(key, "s", "hello"));
  char small[5] = "XXXX";
  size = sizeof small;
  EXPECT_FALSE(platform::RegQueryValue(key, "s", &type, small, &size));
  EXPECT_EQ(size, 6u);  // the length needed, terminator included
  EXPECT_STREQ(small, "XXXX");
  size = 0;
  EXPECT_TRUE(platform::RegQueryValue(key, "s", &type, nullptr, &size));
  EXPECT_EQ(size, 6u);

  // A string written without its terminator is read back with one.
  ASSERT_TRUE(platform::RegSetValue(key, "raw", platform::kRegSz, "abc", 3));
  char buffer[4];
  std::memset(buffer, 'X', sizeof buffer);
  size = sizeof buffer;
  ASSERT_TRUE(platform::RegQueryValue(key, "raw", &type, buffer, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_STREQ(buffer, "abc");
  size = 3;
  EXPECT_FALSE(platform::RegQueryValue(key, "raw", &type, buffer, &size));

  EXPECT_TRUE(platform::RegDeleteValue(key, "S"));
  EXPECT_FALSE(platform::RegDeleteValue(key, "s"));
  EXPECT_EQ(GetString(key, "s"), "<missing>");
  platform::RegCloseKey(key);
}

TEST_F(RegistryTest, ReadOnlyHandleRefusesWrites) {
  platform::RegCloseKey(platform::RegCreateKey("SOFTWARE\\Quorvanta"));
  platform::RegKey* key = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read);
  ASSERT_NE(key, nullptr);
  EXPECT_FALSE(PutString(key, "x", "y"));
  EXPECT_FALSE(platform::RegDeleteValue(key, "x"));
  platform::RegCloseKey(key);
}

TEST_F(RegistryTest, FilePermissionsDecideReadWriteAccess) {
  platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
  ASSERT_TRUE(PutString(key, "v", "1"));
  platform::RegCloseKey(key);
  // Root is checked as nobody (for whom 0644 is read-only); an owner needs 0444.
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(db_.c_str(), root ? 0644 : 0444), 0);

  auto result = qvtest::RunInChild(
      [] {
        std::string out;
        platform::RegKey* r = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read);
        out += r ? "read " : "noread ";
        out += r ? GetString(r, "v") + " " : "";
        platform::RegCloseKey(r);
        platform::RegKey* w = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::ReadWrite);
        out += w ? "write " : "nowrite ";
        platform::RegCloseKey(w);
        platform::RegKey* c = platform::RegCreateKey("SOFTWARE\\Other");
        out += c ? "create" : "nocreate";
        platform::RegCloseKey(c);
        return out;
      },
      true);
  EXPECT_EQ(result.output, "read 1 nowrite nocreate");

  // Unreadable file: nothing opens.
  ASSERT_EQ(chmod(db_.c_str(), root ? 0600 : 0000), 0);
  result = qvtest::RunInChild(
      [] {
        platform::RegKey* r = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read);
        platform::RegCloseKey(r);
        return std::string(r ? "read" : "noread");
      },
      true);
  EXPECT_EQ(result.output, "noread");
}

// The referral code is the one value a user may change, and only to empty:
// through a marker in a sticky folder beside the store, never in the store.
TEST_F(RegistryTest, AUserMayOnlyEmptyTheReferralCode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
  ASSERT_TRUE(PutString(key, "ref", "CODE7"));
  ASSERT_TRUE(PutString(key, "config_dir", "/etc/q/"));
  platform::RegCloseKey(key);
  ASSERT_EQ(chmod(db_.c_str(), 0644), 0);
  const std::string cleared = dir_ / "sub/dir/cleared";
  auto asUser = [] {
    return qvtest::RunInChild(
               [] {
                 std::string out;
                 platform::RegKey* other = platform::RegOpenKeyToWrite("SOFTWARE\\Quorvanta", "config_dir");
                 out += other ? "config_dir " : "noconfig_dir ";
                 platform::RegCloseKey(other);
                 platform::RegKey* w = platform::RegOpenKeyToWrite("SOFTWARE\\Quorvanta", "REF");
                 if (!w) return out + "noref";
                 out += PutString(w, "ref", "MINE") ? "set " : "noset ";
                 out += PutString(w, "config_dir", "") ? "other " : "noother ";
                 out += PutString(w, "ref", "") ? "emptied " : "noempty ";
                 out += "[" + GetString(w, "ref") + "]";
                 platform::RegCloseKey(w);
                 return out;
               },
               true)
        .output;
  };
  // Without the folder the store's permissions decide, as before.
  EXPECT_EQ(asUser(), "noconfig_dir noref");
  ASSERT_EQ(mkdir(cleared.c_str(), 0733), 0);
  ASSERT_EQ(chmod(cleared.c_str(), 01733), 0);
  EXPECT_EQ(asUser(), "noconfig_dir noset noother emptied []");
  key = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read);
  EXPECT_EQ(GetString(key, "ref"), "");
  EXPECT_EQ(GetString(key, "config_dir"), "/etc/q/");
  platform::RegCloseKey(key);
  // A code stored anew (a new install) wins over the marker.
  key = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::ReadWrite);
  ASSERT_TRUE(PutString(key, "ref", "CODE8"));
  EXPECT_EQ(GetString(key, "ref"), "CODE8");
  platform::RegCloseKey(key);
  EXPECT_EQ(asUser(), "noconfig_dir noset noother emptied []");
}

TEST_F(RegistryTest, DeleteTreeTakesSubkeysButNotLookAlikes) {
  for (const char* path : {"SOFTWARE\\Quorvanta\\A\\B", "SOFTWARE\\Quorvanta2", "SOFTWARE\\Quorvantax"}) {
    platform::RegKey* key = platform::RegCreateKey(path);
    ASSERT_TRUE(PutString(key, "v", path));
    platform::RegCloseKey(key);
  }
  platform::RegKey* held = platform::RegOpenKey("SOFTWARE\\Quorvanta\\A", RegAccess::ReadWrite);
  ASSERT_NE(held, nullptr);
  // LIKE-style wildcards in the name must not match anything.
  EXPECT_FALSE(platform::RegDeleteKeyTree("SOFTWARE\\Quorvant_"));
  EXPECT_TRUE(platform::RegDeleteKeyTree("software\\quorvanta"));
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta\\A\\B", RegAccess::Read), nullptr);
  // A handle to a deleted key takes no new values.
  EXPECT_FALSE(PutString(held, "late", "x"));
  platform::RegCloseKey(held);
  for (const char* path : {"SOFTWARE\\Quorvanta2", "SOFTWARE\\Quorvantax"}) {
    platform::RegKey* key = platform::RegOpenKey(path, RegAccess::Read);
    ASSERT_NE(key, nullptr) << path;
    EXPECT_EQ(GetString(key, "v"), path);
    platform::RegCloseKey(key);
  }
}

TEST_F(RegistryTest, CorruptOrTruncatedDatabaseNeverOpens) {
  platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
  ASSERT_TRUE(PutString(key, "v", "1"));
  platform::RegCloseKey(key);
  for (int size : {0, 100, 4096}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(truncate(db_.c_str(), size), 0);
    if (size == 4096) {
      FILE* f = std::fopen(db_.c_str(), "r+");
      std::fputs("garbage garbage garbage", f);
      std::fclose(f);
    }
    EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read), nullptr);
    EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::ReadWrite), nullptr);
  }
  EXPECT_EQ(platform::RegCreateKey("SOFTWARE\\Quorvanta"), nullptr);

  // Not a regular file: refused at once rather than blocking on the open.
  ASSERT_EQ(unlink(db_.c_str()), 0);
  ASSERT_EQ(mkfifo(db_.c_str(), 0644), 0);
  EXPECT_EQ(platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read), nullptr);
  EXPECT_EQ(platform::RegCreateKey("SOFTWARE\\Quorvanta"), nullptr);
}

TEST_F(RegistryTest, ConcurrentWritersOnOwnHandlesAllSucceed) {
  platform::RegCloseKey(platform::RegCreateKey("SOFTWARE\\Quorvanta"));
  constexpr int kThreads = 3, kWrites = 15;
  std::atomic<int> failures{0};
  // A writer in another process (the tool beside the program) as well as threads.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t other = fork();
  if (other == 0) {
    close(go[1]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    int failed = 0;
    for (int i = 0; i < kWrites; ++i) {
      platform::RegKey* key = platform::RegCreateKey("SOFTWARE\\Quorvanta");
      std::string name = "p_" + std::to_string(i);
      if (!key || !PutString(key, name.c_str(), name)) ++failed;
      platform::RegCloseKey(key);
    }
    _exit(failed ? 1 : 0);
  }
  close(go[0]);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kWrites; ++i) {
        platform::RegKey* key = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::ReadWrite);
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (!key || !PutString(key, name.c_str(), name)) ++failures;
        platform::RegCloseKey(key);
      }
    });
  }
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  for (auto& thread : threads) thread.join();
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failures.load(), 0);
  platform::RegKey* key = platform::RegOpenKey("SOFTWARE\\Quorvanta", RegAccess::Read);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(GetString(key, "t2_14"), "t2_14");
  EXPECT_EQ(GetString(key, "p_14"), "p_14");
  platform::RegCloseKey(key);
}

}  // namespace
