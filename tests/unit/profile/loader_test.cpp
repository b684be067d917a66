// Loading data.vpn: results, deletions, text reading, the shared lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "runtime/shared_state.h"
#include "profile/profile.h"
#include "profile/profile_codec.h"
#include "runtime/server_list.h"
#include "profile_test_util.h"

namespace {

using profile_test::CheckedCount;
using profile_test::Entries;
using profile_test::ReadFile;
using profile_test::Sorted;
using profile_test::TempDir;
using profile_test::WriteFile;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

const char kPlain[] = "a.example:1194:udp b.example:443:tcp:word\n<---->\nhttp://u.example/1 http://u.example/2";

std::string Encode(const std::string& plain) {
  std::string out, error;
  EXPECT_TRUE(EncodeProfile(plain, &out, &error)) << error;
  return out;
}

// A data.vpn whose line 1 is exactly line (no check of what it deciphers to).
std::string WithCrc(const std::string& line, const char* lineEnd = "\n") {
  return line + lineEnd + std::to_string(Crc32(line.data(), line.size())) + lineEnd;
}

struct Lists {
  ServerList* a = NewServerList();
  ServerList* b = NewServerList();
  ~Lists() {
    FreeServerList(a);
    FreeServerList(b);
  }
};

class LoadProfileTest : public ::testing::Test {
 protected:
  TempDir dir{"profile"};
  std::string path = dir.File("data.vpn");
};

TEST_F(LoadProfileTest, LoadsBothSections) {
  WriteFile(path, Encode(kPlain));
  Lists l;
  EXPECT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk);
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"a.example:1194:udp", "b.example:443:tcp:word"}));
  EXPECT_EQ(Sorted(Entries(l.b)), Sorted({"http://u.example/1", "http://u.example/2"}));
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(LoadProfileTest, LoadingTwiceHoldsEveryEntryTwice) {
  WriteFile(path, Encode(kPlain));
  Lists l;
  ASSERT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk);
  ASSERT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk);
  EXPECT_EQ(Sorted(Entries(l.a)),
            Sorted({"a.example:1194:udp", "a.example:1194:udp", "b.example:443:tcp:word", "b.example:443:tcp:word"}));
  EXPECT_EQ(CheckedCount(l.b), 4u);
}

TEST_F(LoadProfileTest, VerifyOnlyLeavesNoEntries) {
  WriteFile(path, Encode(kPlain));
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileOk);
  WriteFile(path, WithCrc("TWFu") + "");
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileOk);
}

TEST_F(LoadProfileTest, ReadsCrLfAndTheNumberAsPercentU) {
  std::string vpn = Encode(kPlain);
  std::string line = vpn.substr(0, vpn.find('\n'));
  std::string crc = std::to_string(Crc32(line.data(), line.size()));
  for (const std::string& file : {line + "\r\n" + crc + "\r\n", line + "\n  \n\t" + crc + "-->junk", line + "\n" + crc,
                                  line + "\n" + crc + "\nanything\n\n"}) {
    WriteFile(path, file);
    Lists l;
    EXPECT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk) << file;
    EXPECT_EQ(CheckedCount(l.a), 2u);
  }
}

TEST_F(LoadProfileTest, MissingFileIsResultOne) {
  Lists l;
  EXPECT_EQ(LoadProfile(dir.File("absent.vpn").c_str(), l.a, l.b), kProfileUnreadable);
  EXPECT_EQ(LoadProfile(dir.path.string().c_str(), nullptr, nullptr), kProfileUnreadable);
  EXPECT_TRUE(fs::is_directory(dir.path));
  EXPECT_TRUE(IsEmpty(l.a));
}

TEST_F(LoadProfileTest, EmptyFileOrEmptyFirstLineIsDeleted) {
  for (const std::string& file :
       {std::string(), std::string("\n"), std::string("\n12345\n"), std::string("\r\n0\r\n")}) {
    WriteFile(path, file);
    Lists l;
    EXPECT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileUnreadable) << file.size();
    EXPECT_FALSE(fs::exists(path)) << "file of " << file.size() << " bytes";
  }
}

TEST_F(LoadProfileTest, OneCharacterLineIsAcceptedWithItsCrc) {
  WriteFile(path, WithCrc("Q"));
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileOk);
  WriteFile(path, "Q\n0\n");
  EXPECT_EQ(LoadProfile(path.c_str(), nullptr, nullptr), kProfileBadCrc);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(LoadProfileTest, CrcMismatchIsResultTwoAndKeepsTheFile) {
  std::string good = Encode(kPlain);
  std::string bad = good;
  bad[3] = bad[3] == 'A' ? 'B' : 'A';  // one Base64 character
  std::string line = good.substr(0, good.find('\n'));
  for (const std::string& file : {bad, line + "\n", line + "\nx123\n", line, line + "\n99999999999999999999\n",
                                  line + "\n" + std::to_string(Crc32(line.data(), line.size()) + 4294967296ull)}) {
    WriteFile(path, file);
    Lists l;
    EXPECT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileBadCrc) << file;
    EXPECT_EQ(ReadFile(path), file);
    EXPECT_TRUE(IsEmpty(l.a));
    EXPECT_TRUE(IsEmpty(l.b));
  }
}

TEST_F(LoadProfileTest, LongProfileIsReadWhole) {
  std::string plain;
  for (int i = 0; i < 3000; ++i) plain += "host" + std::to_string(i) + ".example:1194:udp ";
  plain += "<----> http://u.example/last";
  WriteFile(path, Encode(plain));
  Lists l;
  ASSERT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk);
  EXPECT_EQ(CheckedCount(l.a), 3000u);
  EXPECT_EQ(Entries(l.b), Strings{"http://u.example/last"});
}

TEST_F(LoadProfileTest, WrongKeyTextStillLoadsAsTokens) {
  // Undetectable by design: any Base64 with a matching CRC is cut into tokens.
  WriteFile(path, WithCrc(Base64Encode("garbage bytes", 13)));
  Lists l;
  EXPECT_EQ(LoadProfile(path.c_str(), l.a, l.b), kProfileOk);
  for (const std::string& e : Entries(l.a)) EXPECT_LE(e.size(), kMaxTokenLength);
}

class SharedListsTest : public LoadProfileTest {
 protected:
  void SetUp() override { CreateSharedLists(); }
  void TearDown() override { FreeSharedLists(); }
};

TEST_F(SharedListsTest, ConnectPathAppendsToTheCurrentLists) {
  WriteFile(path, Encode(kPlain));
  ASSERT_EQ(LoadProfileIntoSharedLists(path.c_str()), kProfileOk);
  ASSERT_EQ(LoadProfile(path.c_str(), Servers, UpdateUrls), kProfileOk);
  std::lock_guard<std::mutex> lock(ListsLock);
  EXPECT_EQ(CheckedCount(Servers), 4u);
  EXPECT_EQ(CheckedCount(UpdateUrls), 4u);
}

TEST_F(SharedListsTest, GoneListsDropTheEntries) {
  WriteFile(path, Encode(kPlain));
  FreeSharedLists();
  EXPECT_EQ(LoadProfileIntoSharedLists(path.c_str()), kProfileOk);
  EXPECT_EQ(Servers, nullptr);
}

// The Connect path and an update worker load at once while another thread
// takes entries and swaps the lists like the updater; run under TSan.
TEST_F(SharedListsTest, ConcurrentLoadsTakesAndSwapsStayConsistent) {
  WriteFile(path, Encode(kPlain));
  std::string other = dir.File("other.vpn");
  WriteFile(other, Encode("x:1:udp y:2:udp z:3:udp <----> http://v.example/"));
  constexpr int kRounds = 200;
  std::atomic<int> loadFailures{0};
  std::thread connect([&] {
    for (int i = 0; i < kRounds; ++i)
      if (LoadProfileIntoSharedLists(path.c_str()) != kProfileOk) ++loadFailures;
  });
  std::thread updater([&] {
    for (int i = 0; i < kRounds; ++i) {
      ServerList* na = NewServerList();
      ServerList* nb = NewServerList();
      if (LoadProfile(other.c_str(), na, nb) != kProfileOk) ++loadFailures;
      std::lock_guard<std::mutex> lock(ListsLock);
      FreeServerList(Servers);
      Servers = na;
      FreeServerList(UpdateUrls);
      UpdateUrls = nb;
    }
  });
  std::thread taker([&] {
    for (int i = 0; i < kRounds * 2; ++i) {
      std::lock_guard<std::mutex> lock(ListsLock);
      FreeServerEntry(TakeBack(Servers));
    }
  });
  connect.join();
  updater.join();
  taker.join();
  EXPECT_EQ(loadFailures.load(), 0);
  std::lock_guard<std::mutex> lock(ListsLock);
  EXPECT_NE(CheckedCount(Servers), static_cast<size_t>(-1));
  EXPECT_NE(CheckedCount(UpdateUrls), static_cast<size_t>(-1));
}

// Random files: only 0, 1 or 2, deletion only of empty files or empty first
// lines, never a crash (run under ASan).
TEST_F(LoadProfileTest, RandomFilesNeverMisbehave) {
  std::mt19937_64 rng(8122026);
  const char pool[] = "AZaz09+/=\n\r \t!<>-\0";
  for (int round = 0; round < 1500; ++round) {
    std::string file(rng() % 400, '\0');
    for (char& c : file) c = rng() % 4 ? pool[rng() % (sizeof(pool) - 1)] : static_cast<char>(rng());
    if (rng() % 3 == 0) {
      std::string line = file.substr(0, file.find('\n'));
      file = line + "\n" + std::to_string(Crc32(line.data(), line.size())) + "\n" + file;
    }
    WriteFile(path, file);
    Lists l;
    int result = LoadProfile(path.c_str(), l.a, l.b);
    ASSERT_TRUE(result == 0 || result == 1 || result == 2);
    bool emptyFirstLine = file.empty() || file[0] == '\n' || file.rfind("\r\n", 0) == 0;
    ASSERT_EQ(fs::exists(path), !emptyFirstLine) << round;
    if (result != 0) {
      ASSERT_TRUE(IsEmpty(l.a) && IsEmpty(l.b));
    }
    ASSERT_NE(CheckedCount(l.a), static_cast<size_t>(-1));
  }
}

}  // namespace
