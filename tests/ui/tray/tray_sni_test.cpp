// The tray as a StatusNotifierItem, seen from a watcher written here on a
// private session bus: registration, icon and tooltip per state, the two
// presses, menu enabling, change signals, removal and the XEmbed fallback.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "desktop_session.h"
#include "runtime/ui_messages.h"
#include "ui/tray.h"

namespace {

using enum ShownState;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new SessionEnvironment(false));

constexpr char kWatcherXml[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    " <method name='RegisterStatusNotifierItem'><arg name='service' type='s' direction='in'/></method>"
    " <method name='RegisterStatusNotifierHost'><arg name='service' type='s' direction='in'/></method>"
    " <property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    " <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    " <property name='ProtocolVersion' type='i' access='read'/>"
    "</interface></node>";

// A watcher as a panel runs it, on a connection of its own to the test bus.
class TestWatcher {
 public:
  explicit TestWatcher(bool refuse = false) : refuse_(refuse) {
    GError* error = nullptr;
    bus_ = g_dbus_connection_new_for_address_sync(
        session->busAddress().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    EXPECT_NE(bus_, nullptr) << (error ? error->message : "");
    node_ = g_dbus_node_info_new_for_xml(kWatcherXml, nullptr);
    static const GDBusInterfaceVTable vtable = {OnMethod, OnProperty, nullptr, {}};
    object_ = g_dbus_connection_register_object(bus_, "/StatusNotifierWatcher", node_->interfaces[0], &vtable, this,
                                                nullptr, nullptr);
    GVariant* reply = Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                           g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u));
    guint32 result = 0;
    if (reply != nullptr) g_variant_get(reply, "(u)", &result), g_variant_unref(reply);
    EXPECT_EQ(result, 1u) << "the watcher name was not granted";
    signals_ = g_dbus_connection_signal_subscribe(
        bus_, nullptr, "org.kde.StatusNotifierItem", nullptr, "/StatusNotifierItem", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GVariant*, gpointer self) {
          auto* watcher = static_cast<TestWatcher*>(self);
          if (std::strcmp(name, "NewIcon") == 0) ++watcher->newIcon;
          if (std::strcmp(name, "NewToolTip") == 0) ++watcher->newToolTip;
        },
        this, nullptr);
  }

  ~TestWatcher() {
    g_dbus_connection_signal_unsubscribe(bus_, signals_);
    g_dbus_connection_unregister_object(bus_, object_);
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
    g_dbus_node_info_unref(node_);
  }

  // A call from the watcher's side, answered while the tray's loop runs.
  GVariant* Call(const char* name, const char* path, const char* interface, const char* method, GVariant* parameters) {
    struct Pending {
      bool done = false;
      GVariant* reply = nullptr;
    } pending;
    g_dbus_connection_call(
        bus_, name, path, interface, method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          auto* p = static_cast<Pending*>(data);
          p->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
          p->done = true;
        },
        &pending);
    SpinUntil([&] { return pending.done; });
    if (!pending.done) ADD_FAILURE() << "no answer to " << method;
    return pending.reply;
  }

  GVariant* ItemProperty(const char* property) {
    GVariant* reply = Call(item.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", property));
    if (reply == nullptr) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
  }

  std::string ItemString(const char* property) {
    GVariant* value = ItemProperty(property);
    std::string text = value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                           ? g_variant_get_string(value, nullptr)
                           : "<missing>";
    if (value != nullptr) g_variant_unref(value);
    return text;
  }

  std::string ToolTipTitle() {
    GVariant* value = ItemProperty("ToolTip");
    if (value == nullptr) return "<missing>";
    const gchar* title = "";
    if (g_variant_is_of_type(value, G_VARIANT_TYPE("(sa(iiay)ss)"))) g_variant_get_child(value, 2, "&s", &title);
    std::string text = title;
    g_variant_unref(value);
    return text;
  }

  bool ItemOnBus() {
    GVariant* reply = Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                           g_variant_new("(s)", item.c_str()));
    gboolean owned = FALSE;
    if (reply != nullptr) g_variant_get(reply, "(b)", &owned), g_variant_unref(reply);
    return owned;
  }

  std::string item;  // the service the tray registered
  std::string itemSender;
  int newIcon = 0, newToolTip = 0;

 private:
  static void OnMethod(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* watcher = static_cast<TestWatcher*>(self);
    if (std::strcmp(method, "RegisterStatusNotifierItem") == 0 && watcher->refuse_) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "refused");
      return;
    }
    if (std::strcmp(method, "RegisterStatusNotifierItem") == 0) {
      const gchar* service = nullptr;
      g_variant_get(parameters, "(&s)", &service);
      watcher->item = service;
      watcher->itemSender = sender;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  static GVariant* OnProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                              gpointer self) {
    auto* watcher = static_cast<TestWatcher*>(self);
    if (std::strcmp(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
    if (std::strcmp(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
    const gchar* items[] = {watcher->item.c_str(), nullptr};
    return g_variant_new_strv(items, watcher->item.empty() ? 0 : 1);
  }

  bool refuse_;
  GDBusConnection* bus_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  guint object_ = 0, signals_ = 0;
};

struct TrayLook {
  ShownState state;
  const char* icon;
  const char* tooltip;
  bool connect, disconnect;
};

constexpr TrayLook kLooks[] = {
    {WaitingForService, "hand48x48_red.ico", "Disconnected", false, false},
    {ServiceUnavailable, "hand48x48_red.ico", "Disconnected", true, false},
    {Disconnecting, "hand48x48_yellow.ico", "Disconnecting", false, false},
    {Disconnected, "hand48x48_red.ico", "Disconnected", true, false},
    {Connecting, "hand48x48_yellow.ico", "Connecting", false, true},
    {Connected, "hand48x48_green.ico", "Connected", false, true},
    {Reconnecting, "hand48x48_yellow.ico", "Reconnecting", false, true},
};

// The dominant colour of the icon's opaque pixels, from the ARGB32 data a panel gets.
std::string PixmapColour(GVariant* pixmap) {
  long r = 0, g = 0, b = 0;
  GVariantIter iter;
  g_variant_iter_init(&iter, pixmap);
  gint32 width, height;
  GVariant* bytes;
  while (g_variant_iter_next(&iter, "(ii@ay)", &width, &height, &bytes)) {
    gsize size = 0;
    const auto* data = static_cast<const guint8*>(g_variant_get_fixed_array(bytes, &size, 1));
    for (gsize i = 0; i + 3 < size; i += 4) {
      if (data[i] < 200) continue;  // transparent or edge
      r += data[i + 1], g += data[i + 2], b += data[i + 3];
    }
    g_variant_unref(bytes);
  }
  if (r > 2 * g && r > 2 * b) return "red";
  if (g > 2 * r && g > 2 * b) return "green";
  if (r > 2 * b && g > 2 * b) return "yellow";
  return "unclear";
}

std::string ColourOfIconName(const char* name) {
  std::string n = name;
  return n.substr(n.find('_') + 1, n.find('.') - n.find('_') - 1);
}

TEST(TraySni, RegistersWithTheWatcherAndShowsEachStateByIconTooltipAndMenu) {
  TestWatcher watcher;
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  EXPECT_STREQ(tray.Protocol(), "sni");
  EXPECT_TRUE(tray.IsShown());
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); })) << "the item never registered";
  EXPECT_EQ(watcher.item.rfind("org.kde.StatusNotifierItem-", 0), 0u) << watcher.item;

  EXPECT_EQ(watcher.ItemString("Category"), "ApplicationStatus");
  EXPECT_EQ(watcher.ItemString("Id"), "quorvanta");
  EXPECT_EQ(watcher.ItemString("Status"), "Active");
  GVariant* isMenu = watcher.ItemProperty("ItemIsMenu");
  ASSERT_NE(isMenu, nullptr);
  EXPECT_FALSE(g_variant_get_boolean(isMenu));
  g_variant_unref(isMenu);

  // Every picture size is offered, each with width * height ARGB32 pixels.
  GVariant* pixmap = watcher.ItemProperty("IconPixmap");
  ASSERT_NE(pixmap, nullptr);
  ASSERT_TRUE(g_variant_is_of_type(pixmap, G_VARIANT_TYPE("a(iiay)")));
  ASSERT_EQ(g_variant_n_children(pixmap), 4u);
  const int sizes[] = {16, 24, 32, 48};
  for (gsize i = 0; i < 4; ++i) {
    gint32 w, h;
    GVariant* bytes;
    g_variant_get_child(pixmap, i, "(ii@ay)", &w, &h, &bytes);
    EXPECT_EQ(w, sizes[i]);
    EXPECT_EQ(h, sizes[i]);
    EXPECT_EQ(g_variant_n_children(bytes), static_cast<gsize>(w * h * 4));
    g_variant_unref(bytes);
  }
  g_variant_unref(pixmap);

  for (const TrayLook& look : kLooks) {
    SCOPED_TRACE(look.tooltip + std::string(" state ") + std::to_string(Number(look.state)));
    tray.Update(look.state);
    EXPECT_STREQ(tray.IconName(), look.icon);
    EXPECT_STREQ(tray.Tooltip(), look.tooltip);
    EXPECT_EQ(watcher.ToolTipTitle(), look.tooltip);
    GVariant* icon = watcher.ItemProperty("IconPixmap");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(PixmapColour(icon), ColourOfIconName(look.icon));
    g_variant_unref(icon);
    EXPECT_EQ(tray.IsMenuItemEnabled(msg::IDM_CONNECT), look.connect);
    EXPECT_EQ(tray.IsMenuItemEnabled(msg::IDM_DISCONNECT), look.disconnect);
    EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_VISIT_SITE));
    EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_EXIT));
  }
  EXPECT_FALSE(tray.IsMenuItemEnabled(0));
  EXPECT_TRUE(host.presses.empty());
  EXPECT_TRUE(host.commands.empty());
}

TEST(TraySni, UpdateSignalsTheChangesOfIconAndTooltip) {
  TestWatcher watcher;
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));

  tray.Update(Connecting);  // red "Disconnected" -> yellow "Connecting"
  ASSERT_TRUE(SpinUntil([&] { return watcher.newIcon == 1 && watcher.newToolTip == 1; }));
  tray.Update(Disconnecting);  // still yellow, new text
  tray.Update(Connected);      // green "Connected"
  // Signals of one sender arrive in order: once the last tooltip change is here, nothing else is in flight.
  ASSERT_TRUE(SpinUntil([&] { return watcher.newToolTip == 3; }));
  EXPECT_EQ(watcher.newIcon, 2);
  EXPECT_EQ(watcher.ToolTipTitle(), "Connected");
}

TEST(TraySni, ActivateAndContextMenuReachTheHostWithTheirPositions) {
  TestWatcher watcher;
  RecordingHost host;
  Tray tray(host);
  tray.Add(Disconnected);
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));

  GVariant* reply = watcher.Call(watcher.item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                                 g_variant_new("(ii)", 640, 12));
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);
  ASSERT_EQ(host.presses.size(), 1u);
  EXPECT_EQ(host.presses[0].message, msg::LeftButtonDown);
  EXPECT_EQ(host.presses[0].x, 640);
  EXPECT_EQ(host.presses[0].y, 12);

  reply = watcher.Call(watcher.item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "ContextMenu",
                       g_variant_new("(ii)", 700, 25));
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);
  ASSERT_EQ(host.presses.size(), 2u);
  EXPECT_EQ(host.presses[1].message, msg::RightButtonDown);
  EXPECT_EQ(host.presses[1].x, 700);
  EXPECT_EQ(host.presses[1].y, 25);

  // Middle click and scrolling mean nothing here.
  reply = watcher.Call(watcher.item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "SecondaryActivate",
                       g_variant_new("(ii)", 1, 1));
  if (reply != nullptr) g_variant_unref(reply);
  reply = watcher.Call(watcher.item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Scroll",
                       g_variant_new("(is)", 120, "vertical"));
  if (reply != nullptr) g_variant_unref(reply);
  EXPECT_EQ(host.presses.size(), 2u);
  EXPECT_TRUE(host.commands.empty());
}

struct MenuEntry {
  int id;
  std::string label;
  bool enabled;
};

// The menu a host reads: the root's children with their labels and enabling.
std::vector<MenuEntry> Layout(TestWatcher& watcher) {
  std::vector<MenuEntry> entries;
  GVariant* reply = watcher.Call(watcher.item.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                 g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
  if (reply == nullptr) return entries;
  GVariant* root = g_variant_get_child_value(reply, 1);
  GVariant* children = g_variant_get_child_value(root, 2);
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* boxed = g_variant_get_child_value(children, i);
    GVariant* child = g_variant_get_variant(boxed);
    MenuEntry entry{0, "", true};
    GVariant* properties = nullptr;
    g_variant_get(child, "(i@a{sv}av)", &entry.id, &properties, nullptr);
    const gchar* label = nullptr;
    gboolean enabled = TRUE;  // the protocol's default when the property is left out
    if (g_variant_lookup(properties, "label", "&s", &label)) entry.label = label;
    g_variant_lookup(properties, "enabled", "b", &enabled);
    entry.enabled = enabled;
    entries.push_back(entry);
    g_variant_unref(properties);
    g_variant_unref(child);
    g_variant_unref(boxed);
  }
  g_variant_unref(children);
  g_variant_unref(root);
  g_variant_unref(reply);
  return entries;
}

void Click(TestWatcher& watcher, int id) {
  GVariant* reply = watcher.Call(watcher.item.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event",
                                 g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u));
  if (reply != nullptr) g_variant_unref(reply);
}

TEST(TraySni, TheMenuReachesHostsOverDBusMenuWithTheSameItemsEnablingAndCommands) {
  TestWatcher watcher;
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));
  GVariant* path = watcher.ItemProperty("Menu");
  ASSERT_NE(path, nullptr);
  EXPECT_STREQ(g_variant_get_string(path, nullptr), "/MenuBar");
  g_variant_unref(path);

  std::vector<MenuEntry> menu;
  for (const TrayLook& look : kLooks) {
    tray.Update(look.state);
    ASSERT_TRUE(SpinUntil([&] {
      menu = Layout(watcher);
      return menu.size() == 4 && menu[0].enabled == look.connect && menu[1].enabled == look.disconnect;
    })) << Number(look.state);
    EXPECT_EQ(menu[0].label, "Connect");
    EXPECT_EQ(menu[1].label, "Disonnect");
    EXPECT_EQ(menu[2].label, "Visit vpn.test.example");
    EXPECT_EQ(menu[3].label, "Exit");
    EXPECT_TRUE(menu[2].enabled && menu[3].enabled);
  }

  // Connected: Connect is greyed, and a host that sends its click all the same changes nothing.
  Click(watcher, menu[0].id);
  SpinFor(200);
  EXPECT_TRUE(host.commands.empty());
  Click(watcher, menu[1].id);
  ASSERT_TRUE(SpinUntil([&] { return host.commands.size() == 1; }));
  Click(watcher, menu[2].id);
  Click(watcher, menu[3].id);
  ASSERT_TRUE(SpinUntil([&] { return host.commands.size() == 3; }));
  EXPECT_EQ(host.commands, (std::vector<uintptr_t>{msg::IDM_DISCONNECT, msg::IDM_VISIT_SITE, msg::IDM_EXIT}));
  EXPECT_TRUE(host.presses.empty());  // the host drew the menu: no ContextMenu
}

TEST(TraySni, AnUnderscoreInTheHostIsShownNotTakenForAMnemonic) {
  setenv("QUORVANTA_SITE", "http://my_vpn.example/", 1);
  TestWatcher watcher;
  RecordingHost host;
  Tray tray(host);
  tray.Add(Disconnected);
  setenv("QUORVANTA_SITE", "http://vpn.test.example:8080/", 1);
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));
  std::vector<MenuEntry> menu;
  ASSERT_TRUE(SpinUntil([&] { return (menu = Layout(watcher)).size() == 4; }));
  EXPECT_EQ(menu[2].label, "Visit my__vpn.example");
}

TEST(TraySni, RemovingOrDestroyingTheTrayTakesTheItemOffTheBus) {
  TestWatcher watcher;
  RecordingHost host;
  {
    Tray tray(host);
    tray.Add(Connected);
    ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));
    EXPECT_TRUE(watcher.ItemOnBus());
    tray.Remove();
    EXPECT_FALSE(tray.IsShown());
    EXPECT_STREQ(tray.Protocol(), "none");
    EXPECT_TRUE(SpinUntil([&] { return !watcher.ItemOnBus(); }));
    // Later transitions still keep the menu right, without bringing the icon back.
    tray.Update(Disconnected);
    EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_CONNECT));
    EXPECT_FALSE(tray.IsShown());
  }
  watcher.item.clear();
  {
    Tray tray(host);
    tray.Add(Connected);
    ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); }));
  }
  EXPECT_TRUE(SpinUntil([&] { return !watcher.ItemOnBus(); }));
}

TEST(TraySni, AWatcherThatRefusesTheItemLeavesTheIconToTheXEmbedTray) {
  TestWatcher watcher(/*refuse=*/true);
  RecordingHost host;
  Tray tray(host);
  tray.Add(Connecting);
  EXPECT_TRUE(SpinUntil([&] { return std::strcmp(tray.Protocol(), "xembed") == 0; }));
  EXPECT_STREQ(tray.Tooltip(), "Connecting");
  EXPECT_TRUE(tray.IsMenuItemEnabled(msg::IDM_DISCONNECT));
}

TEST(TraySni, APanelThatStartsAfterTheProgramGetsTheIcon) {
  RecordingHost host;
  Tray tray(host);
  tray.Add(WaitingForService);
  EXPECT_STREQ(tray.Protocol(), "xembed");  // no watcher yet, and no XEmbed tray on this display either
  tray.Update(Connected);
  TestWatcher watcher;
  ASSERT_TRUE(SpinUntil([&] { return !watcher.item.empty(); })) << "the item never registered";
  EXPECT_STREQ(tray.Protocol(), "sni");
  EXPECT_EQ(watcher.ToolTipTitle(), "Connected");
}

}  // namespace
