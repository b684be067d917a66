#include "tunnel/line_cutter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Cut {
  LineCutter cutter;
  std::vector<std::string> lines;

  bool Feed(const std::string& bytes) {
    return cutter.Feed(bytes.data(), bytes.size(), [this](char* line) { lines.emplace_back(line); });
  }
};

TEST(LineCutter, SeveralLinesInOneReceiveComeOutInOrder) {
  Cut c;
  ASSERT_TRUE(c.Feed("one\r\ntwo\r\nthree\r\n"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(c.cutter.Pending(), 0u);
}

TEST(LineCutter, UnfinishedLineWaitsForLaterReceives) {
  Cut c;
  ASSERT_TRUE(c.Feed(">STATE:1,CONN"));
  EXPECT_TRUE(c.lines.empty());
  ASSERT_TRUE(c.Feed("ECTED,SUCCESS"));
  EXPECT_TRUE(c.lines.empty());
  ASSERT_TRUE(c.Feed(",,\r\nnext"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{">STATE:1,CONNECTED,SUCCESS,,"}));
  EXPECT_EQ(c.cutter.Pending(), 4u);
}

TEST(LineCutter, LoneCrEndsALineButLoneLfDoesNot) {
  Cut c;
  ASSERT_TRUE(c.Feed("a\rb\nc\r\n"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{"a", "b\nc"}));
}

TEST(LineCutter, TwoLineEndsInARowGiveAnEmptyLine) {
  Cut c;
  ASSERT_TRUE(c.Feed("a\r\n\r\nb\r\r"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{"a", "", "b", ""}));
}

TEST(LineCutter, LfOfACrLfSplitAcrossReceivesIsDropped) {
  Cut c;
  ASSERT_TRUE(c.Feed(">HOLD:x\r"));
  ASSERT_TRUE(c.Feed("\n>STATE:y\r"));
  ASSERT_TRUE(c.Feed("\n"));
  ASSERT_TRUE(c.Feed("\nz\r"));  // only the first LF after a CR belongs to it
  EXPECT_EQ(c.lines, (std::vector<std::string>{">HOLD:x", ">STATE:y", "\nz"}));
}

TEST(LineCutter, NulEndsTheReceive) {
  Cut c;
  std::string bytes("ab\r\ncd", 6);
  bytes += '\0';
  bytes += "ef\r\n";
  ASSERT_TRUE(c.Feed(bytes));
  ASSERT_TRUE(c.Feed("gh\r\n"));
  EXPECT_EQ(c.lines, (std::vector<std::string>{"ab", "cdgh"}));
}

TEST(LineCutter, LongestLineFitsOneMoreIsRefused) {
  Cut c;
  std::string longest(LineCutter::kCapacity - 1, 'x');
  ASSERT_TRUE(c.Feed(longest.substr(0, 1000)));
  ASSERT_TRUE(c.Feed(longest.substr(1000) + "\r\n"));
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0], longest);

  Cut d;
  ASSERT_TRUE(d.Feed(std::string(1024, 'y')));
  EXPECT_FALSE(d.Feed(std::string(1024, 'y')));  // 2048 characters and no line end
  EXPECT_TRUE(d.lines.empty());
  EXPECT_EQ(d.cutter.Pending(), 0u);
  // After the refusal the cutter starts clean.
  ASSERT_TRUE(d.Feed("ok\r\n"));
  EXPECT_EQ(d.lines, (std::vector<std::string>{"ok"}));
}

TEST(LineCutter, CompleteLinesAfterALongPendingTextStillFit) {
  Cut c;
  ASSERT_TRUE(c.Feed(std::string(2000, 'a')));
  ASSERT_TRUE(c.Feed("bc\r\n" + std::string(1000, 'd') + "\r\n"));
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0].size(), 2002u);
  EXPECT_EQ(c.lines[1].size(), 1000u);
}

}  // namespace
