// When a change of the default routes is a move to another network.
#include <gtest/gtest.h>

#include <string>

#include "platform/network_watch.h"

namespace {

TEST(DefaultRoutesMoved, OnlyAnotherNonEmptyListIsAMove) {
  std::string last;
  // The first list seen is where the tunnel started: no move.
  EXPECT_FALSE(platform::DefaultRoutesMoved(&last, "2 3 c0000201 0;"));
  EXPECT_EQ(last, "2 3 c0000201 0;");
  EXPECT_FALSE(platform::DefaultRoutesMoved(&last, "2 3 c0000201 0;"));
  // A tunnel that takes the default route removes the old one, and gives it back when it goes.
  EXPECT_FALSE(platform::DefaultRoutesMoved(&last, ""));
  EXPECT_FALSE(platform::DefaultRoutesMoved(&last, "2 3 c0000201 0;"));
  // Another gateway, link or metric is another network.
  EXPECT_TRUE(platform::DefaultRoutesMoved(&last, "2 4 c0a80101 600;"));
  EXPECT_EQ(last, "2 4 c0a80101 600;");
  EXPECT_FALSE(platform::DefaultRoutesMoved(&last, ""));
  EXPECT_TRUE(platform::DefaultRoutesMoved(&last, "2 3 c0000201 0;"));
}

}  // namespace
