// The tray on an X desktop without a StatusNotifierWatcher: the icon sits in
// a real XEmbed system tray (trayer on Xvfb), is clicked with xdotool, and
// the menu pops up where the press was, greyed as the state says.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "desktop_session.h"
#include "runtime/ui_messages.h"
#include "ui/tray.h"

namespace {

using enum ShownState;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SessionEnvironment(true));

std::string Display() { return ":" + std::to_string(session->display()); }

void Click(int x, int y, int button) {
  ASSERT_EQ(RunProgram({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", std::to_string(button)}),
            0);
}

// The menu the tray popped up: the one visible popup window holding a GtkMenu.
GtkWidget* OpenMenu() {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(w->data));
    if (child != nullptr && GTK_IS_MENU(child) && gtk_widget_get_mapped(GTK_WIDGET(w->data))) found = child;
  }
  g_list_free(windows);
  return found;
}

struct MenuEntry {
  std::string label;
  bool sensitive;
  GdkRectangle area;  // on the root window
};

std::vector<MenuEntry> Entries(GtkWidget* menu) {
  std::vector<MenuEntry> entries;
  GtkWidget* top = gtk_widget_get_toplevel(menu);
  int ox = 0, oy = 0;
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
  for (GList* c = children; c != nullptr; c = c->next) {
    GtkWidget* item = GTK_WIDGET(c->data);
    GtkAllocation a;
    gtk_widget_get_allocation(item, &a);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(item, top, 0, 0, &x, &y);
    entries.push_back({gtk_menu_item_get_label(GTK_MENU_ITEM(item)),
                       gtk_widget_is_sensitive(item) != FALSE,
                       {ox + x, oy + y, a.width, a.height}});
  }
  g_list_free(children);
  return entries;
}

GdkRectangle MenuArea(GtkWidget* menu) {
  GtkWidget* top = gtk_widget_get_toplevel(menu);
  GdkRectangle r = {0, 0, 0, 0};
  gdk_window_get_origin(gtk_widget_get_window(top), &r.x, &r.y);
  r.width = gdk_window_get_width(gtk_widget_get_window(top));
  r.height = gdk_window_get_height(gtk_widget_get_window(top));
  return r;
}

// The dominant colour of the coloured pixels the X server shows in a rectangle of the screen.
std::string ScreenColour(int x, int y, int w, int h) {
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, w, h);
  if (shot == nullptr) return "none";
  long r = 0, g = 0, b = 0;
  const int stride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
  const guchar* pixels = gdk_pixbuf_read_pixels(shot);
  for (int row = 0; row < h; ++row)
    for (int col = 0; col < w; ++col) {
      const guchar* p = pixels + row * stride + col * channels;
      const int hi = std::max({p[0], p[1], p[2]}), lo = std::min({p[0], p[1], p[2]});
      if (hi - lo < 80) continue;  // the tray's grey background and the hand's dark outline
      r += p[0], g += p[1], b += p[2];
    }
  g_object_unref(shot);
  if (r > 2 * g && r > 2 * b) return "red";
  if (g > 2 * r && g > 2 * b) return "green";
  if (r > 2 * b && g > 2 * b) return "yellow";
  return "unclear";
}

bool WaitForDrawnMenu() {
  if (!SpinUntil([] { return OpenMenu() != nullptr; })) return false;
  bool drawn = false;
  gulong handler = g_signal_connect_after(OpenMenu(), "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer flag) {
                                            *static_cast<bool*>(flag) = true;
                                            return FALSE;
                                          }),
                                          &drawn);
  gtk_widget_queue_draw(OpenMenu());
  bool ok = SpinUntil([&] { return drawn; });
  g_signal_handler_disconnect(OpenMenu(), handler);
  gdk_display_sync(gdk_display_get_default());
  return ok;
}

TEST(TrayXEmbed, WithoutAWatcherTheIconSitsInTheSystemTray) {
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  EXPECT_STREQ(tray.Protocol(), "xembed");
  EXPECT_TRUE(tray.IsShown());
  int x, y, w, h;
  ASSERT_TRUE(SpinUntil([&] { return tray.IconArea(&x, &y, &w, &h); })) << "the icon never got embedded";
  EXPECT_GT(w, 0);
  EXPECT_GT(h, 0);
  EXPECT_STREQ(tray.Tooltip(), "Disconnected");
  // The tray shows the hand in the state's colour.
  EXPECT_TRUE(SpinUntil([&] { return ScreenColour(x, y, w, h) == "red"; })) << ScreenColour(x, y, w, h);
  tray.Update(Connecting);
  EXPECT_TRUE(SpinUntil([&] { return ScreenColour(x, y, w, h) == "yellow"; })) << ScreenColour(x, y, w, h);
  tray.Update(Connected);
  EXPECT_STREQ(tray.IconName(), "hand48x48_green.ico");
  EXPECT_STREQ(tray.Tooltip(), "Connected");
  EXPECT_TRUE(SpinUntil([&] { return ScreenColour(x, y, w, h) == "green"; })) << ScreenColour(x, y, w, h);

  // A watcher that turns up later does not take an icon the tray already shows.
  GDBusConnection* panel = g_dbus_connection_new_for_address_sync(
      session->busAddress().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  ASSERT_NE(panel, nullptr);
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
      "<node><interface name='org.kde.StatusNotifierWatcher'><method name='RegisterStatusNotifierItem'>"
      "<arg name='service' type='s' direction='in'/></method></interface></node>",
      nullptr);
  static const GDBusInterfaceVTable vtable = {
      +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
          GDBusMethodInvocation* invocation, gpointer registrations) {
        ++*static_cast<int*>(registrations);
        g_dbus_method_invocation_return_value(invocation, nullptr);
      },
      nullptr,
      nullptr,
      {}};
  int registrations = 0;
  guint object = g_dbus_connection_register_object(panel, "/StatusNotifierWatcher", node->interfaces[0], &vtable,
                                                   &registrations, nullptr, nullptr);
  bool acquired = false;
  guint owner = g_bus_own_name_on_connection(
      panel, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, gpointer flag) { *static_cast<bool*>(flag) = true; }, nullptr, &acquired,
      nullptr);
  EXPECT_TRUE(SpinUntil([&] { return acquired; }));
  SpinFor(300);
  EXPECT_STREQ(tray.Protocol(), "xembed");
  EXPECT_EQ(registrations, 0);
  g_bus_unown_name(owner);
  g_dbus_connection_unregister_object(panel, object);
  g_dbus_node_info_unref(node);
  g_dbus_connection_close_sync(panel, nullptr, nullptr);
  g_object_unref(panel);
  tray.Remove();
  EXPECT_FALSE(tray.IsShown());
  EXPECT_FALSE(tray.IconArea(&x, &y, &w, &h));
}

TEST(TrayXEmbed, LeftAndRightPressesOnTheIconReachTheHost) {
  RecordingHost host;
  Tray tray(host);
  tray.Add(Disconnected);
  int x, y, w, h;
  ASSERT_TRUE(SpinUntil([&] { return tray.IconArea(&x, &y, &w, &h); }));
  const int cx = x + w / 2, cy = y + h / 2;

  Click(cx, cy, 1);
  ASSERT_TRUE(SpinUntil([&] { return host.presses.size() == 1; }));
  EXPECT_EQ(host.presses[0].message, msg::LeftButtonDown);
  EXPECT_EQ(host.presses[0].x, cx);
  EXPECT_EQ(host.presses[0].y, cy);

  Click(cx, cy, 3);
  ASSERT_TRUE(SpinUntil([&] { return host.presses.size() == 2; }));
  EXPECT_EQ(host.presses[1].message, msg::RightButtonDown);
  EXPECT_EQ(host.presses[1].x, cx);
  EXPECT_EQ(host.presses[1].y, cy);

  // The middle button means nothing.
  Click(cx, cy, 2);
  SpinFor(200);
  EXPECT_EQ(host.presses.size(), 2u);
  EXPECT_TRUE(host.commands.empty());
}

TEST(TrayXEmbed, TheMenuOpensLeftOfThePressWithItsItemsGreyedByState) {
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  tray.Update(Disconnected);
  int x, y, w, h;
  EXPECT_TRUE(SpinUntil([&] { return tray.IconArea(&x, &y, &w, &h); }));  // for the screenshot
  tray.PopupMenu(500, 150);
  ASSERT_TRUE(WaitForDrawnMenu()) << "the menu never showed";
  GtkWidget* menu = OpenMenu();

  const GdkRectangle area = MenuArea(menu);
  EXPECT_EQ(area.x + area.width, 500) << "the right edge is at the press";
  EXPECT_EQ(area.y, 150);

  std::vector<MenuEntry> entries = Entries(menu);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].label, "Connect");
  EXPECT_EQ(entries[1].label, "Disonnect");
  EXPECT_EQ(entries[2].label, "Visit vpn.test.example");
  EXPECT_EQ(entries[3].label, "Exit");
  EXPECT_TRUE(entries[0].sensitive);
  EXPECT_FALSE(entries[1].sensitive);
  EXPECT_TRUE(entries[2].sensitive);
  EXPECT_TRUE(entries[3].sensitive);

  mkdir(QV_BINARY_DIR "/screenshots", 0755);
  EXPECT_EQ(
      RunProgram({"import", "-display", Display(), "-window", "root", QV_BINARY_DIR "/screenshots/tray-menu.png"}), 0);

  // A greyed item does nothing and keeps the menu open; an enabled one is the command.
  const MenuEntry& greyed = entries[1];
  Click(greyed.area.x + greyed.area.width / 2, greyed.area.y + greyed.area.height / 2, 1);
  SpinFor(300);
  EXPECT_TRUE(host.commands.empty());
  ASSERT_NE(OpenMenu(), nullptr);
  const MenuEntry& connect = entries[0];
  Click(connect.area.x + connect.area.width / 2, connect.area.y + connect.area.height / 2, 1);
  ASSERT_TRUE(SpinUntil([&] { return !host.commands.empty(); }));
  EXPECT_EQ(host.commands, std::vector<uintptr_t>{msg::IDM_CONNECT});
  EXPECT_TRUE(SpinUntil([] { return OpenMenu() == nullptr; })) << "the menu stayed open";
}

TEST(TrayXEmbed, RightPressThenExitIsTheExitCommand) {
  RecordingHost host;
  Tray tray(host);
  host.popOnRightPress = &tray;
  tray.Add(WaitingForService);
  tray.Update(Connected);
  int x, y, w, h;
  ASSERT_TRUE(SpinUntil([&] { return tray.IconArea(&x, &y, &w, &h); }));
  Click(x + w / 2, y + h / 2, 3);
  ASSERT_TRUE(SpinUntil([&] { return host.presses.size() == 1; }));
  ASSERT_TRUE(WaitForDrawnMenu());
  std::vector<MenuEntry> entries = Entries(OpenMenu());
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_FALSE(entries[0].sensitive);
  EXPECT_TRUE(entries[1].sensitive);
  // The icon is at the top right of the screen: the menu opens below the press, inside the screen.
  const GdkRectangle area = MenuArea(OpenMenu());
  EXPECT_GE(area.x, 0);
  EXPECT_LE(area.x + area.width, 800);
  EXPECT_GE(area.y, y);

  const MenuEntry& exit = entries[3];
  Click(exit.area.x + exit.area.width / 2, exit.area.y + exit.area.height / 2, 1);
  ASSERT_TRUE(SpinUntil([&] { return !host.commands.empty(); }));
  EXPECT_EQ(host.commands, std::vector<uintptr_t>{msg::IDM_EXIT});
}

}  // namespace
