// Cutting the deciphered profile into the two sections.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "profile/profile.h"
#include "runtime/server_list.h"
#include "profile_test_util.h"

namespace {

using profile_test::CheckedCount;
using profile_test::Entries;
using profile_test::Sorted;
using Strings = std::vector<std::string>;

struct Lists {
  ServerList* a = NewServerList();
  ServerList* b = NewServerList();
  ~Lists() {
    FreeServerList(a);
    FreeServerList(b);
  }
  void Parse(const std::string& text, uint64_t seed = 7) {
    ParseProfileTextSeeded(text.data(), text.size(), a, b, seed);
  }
};

TEST(ParseProfileText, MarkSplitsServersFromUpdateUrls) {
  Lists l;
  l.Parse("vpn1.example:1194:udp\n<---->\nhttp://u.example/p");
  EXPECT_EQ(Entries(l.a), Strings{"vpn1.example:1194:udp"});
  EXPECT_EQ(Entries(l.b), Strings{"http://u.example/p"});
}

TEST(ParseProfileText, WithoutMarkEverythingIsAServer) {
  Lists l;
  l.Parse("vpn1.example:1194:udp\nhttp://u.example/p");
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"vpn1.example:1194:udp", "http://u.example/p"}));
  EXPECT_TRUE(IsEmpty(l.b));
}

TEST(ParseProfileText, SecondMarkIsAnOrdinaryUrl) {
  Lists l;
  l.Parse("s1 <----> u1 <----> u2");
  EXPECT_EQ(Entries(l.a), Strings{"s1"});
  EXPECT_EQ(Sorted(Entries(l.b)), Sorted({"u1", "<---->", "u2"}));
}

TEST(ParseProfileText, AddsToWhatTheListsHoldAtRandomEnds) {
  // Tokens drawn "front" end up before the old entry in reverse order, the
  // others after it in order; over many seeds both ends are used.
  bool sawFront = false, sawBack = false, sawShuffle = false;
  for (uint64_t seed = 0; seed < 64; ++seed) {
    Lists l;
    PushBack(l.a, NewServerEntry("old", 3));
    l.Parse("t0 t1 t2 t3 t4 t5 t6 t7", seed);
    Strings got = Entries(l.a);
    ASSERT_EQ(got.size(), 9u);
    ASSERT_EQ(CheckedCount(l.a), 9u);
    auto old = std::find(got.begin(), got.end(), "old");
    ASSERT_NE(old, got.end());
    EXPECT_TRUE(std::is_sorted(got.begin(), old, std::greater<>())) << seed;
    EXPECT_TRUE(std::is_sorted(old + 1, got.end())) << seed;
    sawFront |= old != got.begin();
    sawBack |= old + 1 != got.end();
    sawShuffle |= got != Strings{"t7", "t6", "t5", "t4", "t3", "t2", "t1", "t0", "old"} &&
                  got != Strings{"old", "t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"};
  }
  EXPECT_TRUE(sawFront);
  EXPECT_TRUE(sawBack);
  EXPECT_TRUE(sawShuffle);
}

TEST(ParseProfileText, ToleratesRunsOfWhiteSpaceAndBlankEnds) {
  Lists l;
  l.Parse(" \r\n\t s1  \t\r\n s2\v\f<---->   u1 \n\n");
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"s1", "s2"}));
  EXPECT_EQ(Entries(l.b), Strings{"u1"});
  Lists blank;
  blank.Parse(" \n\t ");
  blank.Parse("");
  EXPECT_TRUE(IsEmpty(blank.a));
  EXPECT_TRUE(IsEmpty(blank.b));
}

TEST(ParseProfileText, DropsTokensTooLongForAnEntry) {
  Lists l;
  std::string longest(kMaxTokenLength, 'x');
  std::string tooLong(kMaxTokenLength + 1, 'y');
  l.Parse("a " + tooLong + " " + longest + " <----> " + std::string(5000, 'z') + " u");
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"a", longest}));
  EXPECT_EQ(Entries(l.b), Strings{"u"});
}

TEST(ParseProfileText, ZeroByteEndsTheText) {
  Lists l;
  std::string text("s1 s2\0 s3 <----> u1", 19);
  l.Parse(text);
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"s1", "s2"}));
  EXPECT_TRUE(IsEmpty(l.b));
}

TEST(ParseProfileText, LengthBoundsTheText) {
  Lists l;
  std::string text = "s1 s2 s3";
  ParseProfileTextSeeded(text.data(), 4, l.a, l.b, 1);  // "s1 s"
  EXPECT_EQ(Sorted(Entries(l.a)), Sorted({"s1", "s"}));
}

TEST(ParseProfileText, NullListDropsItsSection) {
  ServerList* b = NewServerList();
  std::string text = "s1 <----> u1";
  ParseProfileText(text.data(), text.size(), nullptr, b);
  EXPECT_EQ(Entries(b), Strings{"u1"});
  ParseProfileText(text.data(), text.size(), nullptr, nullptr);
  FreeServerList(b);
}

// Random bytes (white space and the mark's characters favoured): every entry
// must be a non-empty white-space-free token that occurs in the text.
TEST(ParseProfileText, RandomBytesYieldOnlyTokensOfTheText) {
  std::mt19937_64 rng(20261208);
  const char pool[] = " \t\n\r<->\0abc";
  for (int round = 0; round < 3000; ++round) {
    size_t n = rng() % 700;
    std::string text(n, '\0');
    for (char& c : text) c = (rng() % 3 == 0) ? static_cast<char>(rng()) : pool[rng() % (sizeof(pool) - 1)];
    if (rng() % 5 == 0) text.insert(rng() % (n + 1), std::string(250 + rng() % 10, 'k'));
    Lists l;
    l.Parse(text, rng());
    std::string visible = text.substr(0, text.find('\0'));
    for (ServerList* list : {l.a, l.b}) {
      ASSERT_NE(CheckedCount(list), static_cast<size_t>(-1));
      for (const std::string& e : Entries(list)) {
        ASSERT_FALSE(e.empty());
        ASSERT_LE(e.size(), kMaxTokenLength);
        ASSERT_EQ(e.find_first_of(" \t\n\r\v\f"), std::string::npos);
        ASSERT_NE(visible.find(e), std::string::npos);
      }
    }
  }
}

}  // namespace
