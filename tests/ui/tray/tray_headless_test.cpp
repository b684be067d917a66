// Without a display or a session bus (a headless run) the tray shows nothing
// but still follows the state, and nothing it is asked to do fails.
#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/ui_messages.h"
#include "ui/tray.h"

namespace {

using enum ShownState;

struct Host : TrayHost {
  void OnTrayIcon(uint32_t, int, int) override { ++calls; }
  void OnCommand(uintptr_t) override { ++calls; }
  int calls = 0;
};

TEST(TrayHeadless, FollowsTheStateWithoutShowingAnything) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvanta-test-bus", 1);
  Host host;
  Tray tray(host);
  tray.Add(WaitingForService);
  EXPECT_STREQ(tray.Protocol(), "none");
  EXPECT_FALSE(tray.IsShown());
  EXPECT_FALSE(tray.IsMenuItemEnabled(msg::IDM_CONNECT));
  tray.Update(Disconnected);
  EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_CONNECT));
  EXPECT_STREQ(tray.IconName(), "hand48x48_red.ico");
  tray.Update(Connected);
  EXPECT_STREQ(tray.Tooltip(), "Connected");
  EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_DISCONNECT));
  tray.PopupMenu(10, 10);
  int x, y, w, h;
  EXPECT_FALSE(tray.IconArea(&x, &y, &w, &h));
  tray.Remove();
  EXPECT_EQ(host.calls, 0);
}

}  // namespace
