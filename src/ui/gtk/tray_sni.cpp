// The StatusNotifierItem icon, with its menu exported over DBusMenu for hosts
// that draw it themselves and shown by us for hosts that ask with ContextMenu.
#include <cstdio>
#include <cstring>

#include "ui/gtk/tray_gtk.h"

namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kMenuPath = "/MenuBar";
constexpr int kBusCallTimeoutMs = 2000;

constexpr const char kItemXml[] =
    "<node>"
    " <interface name='org.kde.StatusNotifierItem'>"
    "  <property name='Category' type='s' access='read'/>"
    "  <property name='Id' type='s' access='read'/>"
    "  <property name='Title' type='s' access='read'/>"
    "  <property name='Status' type='s' access='read'/>"
    "  <property name='WindowId' type='i' access='read'/>"
    "  <property name='IconName' type='s' access='read'/>"
    "  <property name='IconPixmap' type='a(iiay)' access='read'/>"
    "  <property name='OverlayIconName' type='s' access='read'/>"
    "  <property name='OverlayIconPixmap' type='a(iiay)' access='read'/>"
    "  <property name='AttentionIconName' type='s' access='read'/>"
    "  <property name='AttentionIconPixmap' type='a(iiay)' access='read'/>"
    "  <property name='AttentionMovieName' type='s' access='read'/>"
    "  <property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "  <property name='ItemIsMenu' type='b' access='read'/>"
    "  <property name='Menu' type='o' access='read'/>"
    "  <method name='ContextMenu'><arg name='x' type='i' direction='in'/>"
    "<arg name='y' type='i' direction='in'/></method>"
    "  <method name='Activate'><arg name='x' type='i' direction='in'/>"
    "<arg name='y' type='i' direction='in'/></method>"
    "  <method name='SecondaryActivate'><arg name='x' type='i' direction='in'/>"
    "<arg name='y' type='i' direction='in'/></method>"
    "  <method name='Scroll'><arg name='delta' type='i' direction='in'/>"
    "<arg name='orientation' type='s' direction='in'/></method>"
    "  <signal name='NewTitle'/>"
    "  <signal name='NewIcon'/>"
    "  <signal name='NewAttentionIcon'/>"
    "  <signal name='NewOverlayIcon'/>"
    "  <signal name='NewToolTip'/>"
    "  <signal name='NewStatus'><arg name='status' type='s'/></signal>"
    " </interface>"
    "</node>";

GDBusInterfaceInfo* ItemInterfaceInfo() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kItemXml, nullptr);
  return node != nullptr ? node->interfaces[0] : nullptr;
}

}  // namespace

// DBusMenu labels read "_" as a mnemonic mark: a host name keeps its own.
static void EscapeMnemonics(const char* text, char* out, size_t size) {
  size_t n = 0;
  for (const char* p = text; *p != '\0' && n + 2 < size; ++p) {
    if (*p == '_') out[n++] = '_';
    out[n++] = *p;
  }
  out[n] = '\0';
}

// The server takes the session bus that GLib shares in the process, which is
// also the item's: hosts look for the menu under the item's own bus name.
void GtkTray::StartMenuExport() {
  if (menuServer != nullptr) return;
  menuRoot = dbusmenu_menuitem_new();
  for (int i = 0; i < TrayModel::kItemCount; ++i) {
    char label[sizeof model.visitText * 2];
    EscapeMnemonics(model.ItemText(i), label, sizeof label);
    menuItems[i] = dbusmenu_menuitem_new();
    dbusmenu_menuitem_property_set(menuItems[i], DBUSMENU_MENUITEM_PROP_LABEL, label);
    dbusmenu_menuitem_property_set_bool(menuItems[i], DBUSMENU_MENUITEM_PROP_ENABLED, model.enabled[i]);
    g_object_set_data(G_OBJECT(menuItems[i]), "qv-command", reinterpret_cast<gpointer>(TrayModel::kItemIds[i]));
    g_signal_connect(menuItems[i], DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                     G_CALLBACK(+[](DbusmenuMenuitem* item, guint, gpointer self) {
                       auto* impl = static_cast<GtkTray*>(self);
                       auto id = reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(item), "qv-command"));
                       // A host may send an event for a greyed item: the menu's rules hold all the same.
                       const int index = TrayModel::IndexOf(id);
                       if (index >= 0 && impl->model.enabled[index]) impl->host.OnCommand(id);
                     }),
                     this);
    dbusmenu_menuitem_child_append(menuRoot, menuItems[i]);
  }
  menuServer = dbusmenu_server_new(kMenuPath);
  dbusmenu_server_set_root(menuServer, menuRoot);
}

void GtkTray::StopMenuExport() {
  for (DbusmenuMenuitem*& item : menuItems) {
    if (item != nullptr) g_signal_handlers_disconnect_by_data(item, this);
    g_clear_object(&item);
  }
  g_clear_object(&menuServer);
  g_clear_object(&menuRoot);
}

// The pictures of one colour, as the item protocol wants them: ARGB32 in
// network byte order, one entry per size.
GVariant* GtkTray::Pixmaps(TrayColour colour) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (int s = 0; s < 4; ++s) {
    GdkPixbuf* pixbuf = icons[colour][s];
    if (pixbuf == nullptr || gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) continue;
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    const gsize size = static_cast<gsize>(width) * static_cast<gsize>(height) * 4;
    auto* argb = static_cast<guchar*>(g_malloc(size));
    guchar* out = argb;
    for (int y = 0; y < height; ++y) {
      const guchar* in = pixels + static_cast<gsize>(y) * static_cast<gsize>(stride);
      for (int x = 0; x < width; ++x, in += channels) {
        *out++ = alpha ? in[3] : 0xff;
        *out++ = in[0];
        *out++ = in[1];
        *out++ = in[2];
      }
    }
    GVariant* bytes = g_variant_new_from_data(G_VARIANT_TYPE("ay"), argb, size, TRUE, g_free, argb);
    g_variant_builder_add(&builder, "(ii@ay)", width, height, bytes);
  }
  return g_variant_builder_end(&builder);
}

namespace {

void OnItemMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* parameters,
                  GDBusMethodInvocation* invocation, gpointer self) {
  auto* impl = static_cast<GtkTray*>(self);
  gint32 x = 0, y = 0;
  uint32_t message = 0;
  if (std::strcmp(method, "Activate") == 0) {
    message = msg::LeftButtonDown;
    g_variant_get(parameters, "(ii)", &x, &y);
  } else if (std::strcmp(method, "ContextMenu") == 0) {
    message = msg::RightButtonDown;
    g_variant_get(parameters, "(ii)", &x, &y);
  }
  // Answer first: the host may open a modal dialog, and the panel must not wait for it.
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (message != 0) impl->host.OnTrayIcon(message, x, y);
}

GVariant* OnItemProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError** error,
                         gpointer self) {
  auto* impl = static_cast<GtkTray*>(self);
  if (std::strcmp(name, "Category") == 0) return g_variant_new_string("ApplicationStatus");
  if (std::strcmp(name, "Id") == 0) return g_variant_new_string("quorvanta");
  if (std::strcmp(name, "Title") == 0) return g_variant_new_string("Quorvanta");
  if (std::strcmp(name, "Status") == 0) return g_variant_new_string("Active");
  if (std::strcmp(name, "WindowId") == 0) return g_variant_new_int32(0);
  if (std::strcmp(name, "IconPixmap") == 0) return impl->Pixmaps(impl->sniColour);
  if (std::strcmp(name, "ToolTip") == 0)
    return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                         impl->sniTooltip, "");
  if (std::strcmp(name, "ItemIsMenu") == 0) return g_variant_new_boolean(FALSE);
  if (std::strcmp(name, "Menu") == 0) return g_variant_new_object_path(impl->menuServer != nullptr ? kMenuPath : "/");
  if (std::strcmp(name, "OverlayIconPixmap") == 0 || std::strcmp(name, "AttentionIconPixmap") == 0)
    return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
  if (std::strcmp(name, "IconName") == 0 || std::strcmp(name, "OverlayIconName") == 0 ||
      std::strcmp(name, "AttentionIconName") == 0 || std::strcmp(name, "AttentionMovieName") == 0)
    return g_variant_new_string("");
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
  return nullptr;
}

const GDBusInterfaceVTable kItemVTable = {OnItemMethod, OnItemProperty, nullptr, {}};

GVariant* CallSync(GDBusConnection* bus, const char* name, const char* path, const char* interface, const char* method,
                   GVariant* parameters, const char* replyType) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                                replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, &error);
  g_clear_error(&error);
  return reply;
}

}  // namespace

// The process's shared session bus, which the menu server uses too; a
// vanished bus must not end the program.
bool GtkTray::ConnectBus() {
  if (bus != nullptr) return true;
  GError* error = nullptr;
  bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  g_clear_error(&error);
  if (bus == nullptr) return false;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  if (!g_dbus_connection_is_closed(bus)) return true;
  g_clear_object(&bus);
  return false;
}

void GtkTray::DisconnectBus() {
  if (watchId != 0) g_bus_unwatch_name(watchId);
  watchId = 0;
  // Shared with the rest of the process: dropped, not closed.
  g_clear_object(&bus);
}

bool GtkTray::WatcherPresent() {
  gboolean present = FALSE;
  if (GVariant* reply = CallSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", g_variant_new("(s)", kWatcherName), "(b)")) {
    g_variant_get(reply, "(b)", &present);
    g_variant_unref(reply);
  }
  return present;
}

// Exports the item and asks the watcher to show it.
bool GtkTray::StartSni() {
  GDBusInterfaceInfo* info = ItemInterfaceInfo();
  GError* error = nullptr;
  if (bus != nullptr && info != nullptr)
    objectId = g_dbus_connection_register_object(bus, kItemPath, info, &kItemVTable, this, nullptr, &error);
  g_clear_error(&error);
  if (objectId == 0) return false;
  StartMenuExport();
  // The item's conventional well-known name; the unique name serves when it cannot be had.
  std::snprintf(itemName, sizeof itemName, "org.kde.StatusNotifierItem-%s-%u",
                g_dbus_connection_get_unique_name(bus) + 1, ++serial);
  for (char* p = itemName + std::strlen("org.kde."); *p != '\0'; ++p)
    if (*p == '.') *p = '_';
  guint32 result = 0;
  if (GVariant* reply = CallSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "RequestName", g_variant_new("(su)", itemName, 4u), "(u)")) {
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
  }
  if (result != 1) itemName[0] = '\0';
  const char* service = itemName[0] != '\0' ? itemName : g_dbus_connection_get_unique_name(bus);

  sniColour = model.Colour();
  std::snprintf(sniTooltip, sizeof sniTooltip, "%s", model.Tooltip());
  protocol = TrayProtocol::Sni;
  registering = g_cancellable_new();
  // Registration is answered later; a watcher that refuses it leaves the icon to the XEmbed tray.
  g_dbus_connection_call(
      bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem", g_variant_new("(s)", service),
      nullptr, G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, registering,
      +[](GObject* source, GAsyncResult* res, gpointer self) {
        GError* failure = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &failure);
        if (reply != nullptr) {
          g_variant_unref(reply);
          return;
        }
        const bool cancelled = g_error_matches(failure, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        g_error_free(failure);
        if (cancelled) return;  // the tray may be gone
        auto* impl = static_cast<GtkTray*>(self);
        impl->StopSni();
        impl->protocol = impl->StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
      },
      this);
  return true;
}

void GtkTray::StopSni() {
  if (registering != nullptr) {
    g_cancellable_cancel(registering);
    g_clear_object(&registering);
  }
  StopMenuExport();
  if (bus == nullptr || objectId == 0) return;
  g_dbus_connection_unregister_object(bus, objectId);
  objectId = 0;
  // Dropping the name tells the watcher the item is gone.
  if (itemName[0] != '\0')
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
                           g_variant_new("(s)", itemName), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr,
                           nullptr);
  itemName[0] = '\0';
}

// A panel often starts after the programs of the session: when its watcher
// appears and no XEmbed tray has taken the icon, the icon moves to it.
void GtkTray::WatchForWatcher() {
  watchId = g_bus_watch_name_on_connection(
      bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
        auto* impl = static_cast<GtkTray*>(self);
        if (impl->protocol == TrayProtocol::Sni || impl->XEmbedded()) return;
        g_bus_unwatch_name(impl->watchId);
        impl->watchId = 0;
        impl->StopXEmbed();
        if (!impl->StartSni()) impl->protocol = impl->StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
      },
      nullptr, this, nullptr);
}

void GtkTray::RefreshSni() {
  if (bus == nullptr) return;
  const TrayColour colour = model.Colour();
  const char* tooltip = model.Tooltip();
  const bool newIcon = colour != sniColour;
  const bool newTooltip = std::strcmp(tooltip, sniTooltip) != 0;
  sniColour = colour;
  std::snprintf(sniTooltip, sizeof sniTooltip, "%s", tooltip);
  if (newIcon) g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, "NewIcon", nullptr, nullptr);
  if (newTooltip)
    g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, "NewToolTip", nullptr, nullptr);
}
