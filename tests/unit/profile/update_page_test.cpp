// Cutting the profile text out of update pages, as read in 255-character pieces.
#include <gtest/gtest.h>

#include <string>

#include "profile/update_page.h"

namespace {

TEST(UpdatePage, EndLineGivesLineFeedAndCrcDigits) {
  EXPECT_EQ(ExtractProfileText("junk\n<!--\nQUJD\nREVG\n!!123-->\ntrailer\n"), "QUJDREVG\n123-");
  // Without the final line feed exactly the digits remain.
  EXPECT_EQ(ExtractProfileText("<!--\nQUJD\n!!123-->"), "QUJD\n123");
  // "!!" alone copies nothing after the line feed, nor does a line under five characters.
  EXPECT_EQ(ExtractProfileText("<!--\nQUJD\n!!\n"), "QUJD\n");
  EXPECT_EQ(ExtractProfileText("<!--\nQUJD\n!!1\n"), "QUJD\n");
  EXPECT_EQ(ExtractProfileText("<!--\nQUJD\n!!12\n"), "QUJD\n");
}

TEST(UpdatePage, OnlyAnExactStartLineOpensABlock) {
  EXPECT_EQ(ExtractProfileText(""), "");
  EXPECT_EQ(ExtractProfileText("no block at all\n!!1-->\n"), "");
  EXPECT_EQ(ExtractProfileText(" <!--\nQUJD\n!!1-->\n"), "");
  EXPECT_EQ(ExtractProfileText("<!-- x\nQUJD\n!!1-->\n"), "");
  EXPECT_EQ(ExtractProfileText("<!--"), "");
  // A start line inside a block is body text; only "!!" ends it.
  EXPECT_EQ(ExtractProfileText("<!--\n<!--\nQUJD\n!!7-->\n"), "<!--QUJD\n7-");
}

TEST(UpdatePage, CarriageReturnsBeforeLineFeedsAreDropped) {
  EXPECT_EQ(ExtractProfileText("x\r\n<!--\r\nQUJD\r\nREVG\r\n!!123-->\r\n"), "QUJDREVG\n123-");
  // A lone carriage return is an ordinary character.
  EXPECT_EQ(ExtractProfileText("<!--\nQU\rJD\n!!1-->\n"), "QU\rJD\n1-");
}

TEST(UpdatePage, FurtherBlocksAreAppended) {
  EXPECT_EQ(ExtractProfileText("<!--\nAAAA\n!!11-->\nmiddle\n<!--\nBBBB\n!!22-->\nend\n"), "AAAA\n11-BBBB\n22-");
  // A page that ends inside a block keeps what was copied.
  EXPECT_EQ(ExtractProfileText("<!--\nAAAA\nBB"), "AAAABB");
}

TEST(UpdatePage, LongLinesComeInPiecesOf255) {
  std::string longLine(600, 'Q');
  EXPECT_EQ(ExtractProfileText("<!--\n" + longLine + "\n!!5-->\n"), longLine + "\n5-");
  // A piece boundary decides: a line of 255 characters then "!!" ends the
  // block in the middle of the line as read.
  std::string line(255, 'Q');
  EXPECT_EQ(ExtractProfileText("<!--\n" + line + "!!9-->\n"), line + "\n9-");
  // And the tail of a long line can be a start line.
  EXPECT_EQ(ExtractProfileText(std::string(255, 'x') + "<!--\nQUJD\n!!3-->\n"), "QUJD\n3-");
}

}  // namespace
