// The Windows network watch through its window: a resume broadcast reaches the
// handler on the thread that started the watch; other power news do not.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/network_watch.h"

namespace {

TEST(NetworkWatchWin, AResumeBroadcastIsReportedAndOtherPowerNewsAreNot) {
  std::vector<platform::NetworkEvent> events;
  platform::NetworkWatch watch;
  ASSERT_TRUE(watch.Start([&](platform::NetworkEvent event) { events.push_back(event); }));
  HWND window = FindWindowW(L"QuorvantaNetworkWatch", nullptr);
  ASSERT_NE(window, nullptr);
  SendMessageW(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
  SendMessageW(window, WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE, 0);
  EXPECT_TRUE(events.empty());
  SendMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], platform::NetworkEvent::Resumed);
  // A stopped watch has no window left to be told anything.
  watch.Stop();
  EXPECT_EQ(FindWindowW(L"QuorvantaNetworkWatch", nullptr), nullptr);
}

}  // namespace
