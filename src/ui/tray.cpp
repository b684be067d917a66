// The notification-area icon: a StatusNotifierItem on the session bus when a
// watcher is there (today's desktops), else an XEmbed icon in a system tray.
// The item's menu is exported over DBusMenu for hosts that draw it themselves,
// and shown by us for hosts that ask with ContextMenu.
#include "ui/tray.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <cstdio>
#include <cstring>

#include "platform/environment.h"
#include "ui/site_host.h"

extern "C" void qv_tray_register_resource(void);

namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kMenuPath = "/MenuBar";
constexpr int kBusCallTimeoutMs = 2000;

constexpr int kIconSizes[] = {16, 24, 32, 48};
constexpr int kIconSizeCount = 4;

enum IconColour { Red = 0, Yellow = 1, Green = 2, IconColourCount = 3 };
constexpr const char* kIconNames[IconColourCount] = {"hand48x48_red.ico", "hand48x48_yellow.ico",
                                                      "hand48x48_green.ico"};
constexpr const char* kIconFiles[IconColourCount] = {"hand48x48_red", "hand48x48_yellow", "hand48x48_green"};

IconColour ColourFor(TunnelState state) {
  switch (state) {
    case Disconnecting:
    case Connecting:
      return Yellow;
    case Connected:
      return Green;
    default:
      return Red;
  }
}

const char* TooltipFor(TunnelState state) {
  switch (state) {
    case Disconnecting:
      return "Disconnecting";
    case Connecting:
      return "Connecting";
    case Connected:
      return "Connected";
    default:
      return "Disconnected";
  }
}

constexpr uintptr_t kMenuIds[] = {IDM_CONNECT, IDM_DISCONNECT, IDM_VISIT_SITE, IDM_EXIT};
constexpr int kMenuItemCount = 4;

int MenuIndex(uintptr_t id) {
  for (int i = 0; i < kMenuItemCount; ++i)
    if (kMenuIds[i] == id) return i;
  return -1;
}

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

enum class TrayProtocol { None, Sni, XEmbed };

}  // namespace

struct TrayImpl {
  explicit TrayImpl(TrayHost& h) : host(h) {}

  TrayHost& host;
  TunnelState state = WaitingForService;
  bool added = false;
  TrayProtocol protocol = TrayProtocol::None;
  bool enabled[kMenuItemCount] = {false, false, true, true};
  char visitText[300] = {};

  GtkWidget* menu = nullptr;
  GtkWidget* items[kMenuItemCount] = {};
  GdkPixbuf* icons[IconColourCount][kIconSizeCount] = {};

  // StatusNotifierItem.
  GDBusConnection* bus = nullptr;
  guint objectId = 0;
  guint watchId = 0;
  char itemName[160] = {};
  GCancellable* registering = nullptr;
  IconColour sniColour = Red;
  const char* sniTooltip = "Disconnected";
  unsigned serial = 0;

  // The same menu over DBusMenu, on the item's connection.
  DbusmenuServer* menuServer = nullptr;
  DbusmenuMenuitem* menuRoot = nullptr;
  DbusmenuMenuitem* menuItems[kMenuItemCount] = {};

  // XEmbed.
  GtkStatusIcon* statusIcon = nullptr;

  void LoadIcons();
  void EnsureMenu();
  void UpdateMenuItems();
  void StartMenuExport();
  void StopMenuExport();
  bool ConnectBus();
  void DisconnectBus();
  bool WatcherPresent();
  void WatchForWatcher();
  bool StartSni();
  void StopSni();
  void RefreshSni();
  bool StartXEmbed();
  void StopXEmbed();
  bool XEmbedded() const;
  void RefreshXEmbed();
  GVariant* Pixmaps(IconColour colour) const;
};

void TrayImpl::LoadIcons() {
  static const bool registered = (qv_tray_register_resource(), true);
  (void)registered;
  for (int c = 0; c < IconColourCount; ++c) {
    for (int s = 0; s < kIconSizeCount; ++s) {
      char path[128];
      std::snprintf(path, sizeof path, "/quorvanta/tray/%s-%d.png", kIconFiles[c], kIconSizes[s]);
      GError* error = nullptr;
      icons[c][s] = gdk_pixbuf_new_from_resource(path, &error);
      if (icons[c][s] == nullptr) g_clear_error(&error);  // the item then has no picture of that size
    }
  }
}

// The menu needs a display; without one (a headless run) the enabling is
// still kept and the widgets are built when a display first exists.
void TrayImpl::EnsureMenu() {
  if (menu != nullptr || gdk_display_get_default() == nullptr) return;
  menu = gtk_menu_new();
  g_object_ref_sink(menu);
  const char* texts[kMenuItemCount] = {"Connect", "Disonnect", visitText, "Exit"};
  for (int i = 0; i < kMenuItemCount; ++i) {
    items[i] = gtk_menu_item_new_with_label(texts[i]);
    g_object_set_data(G_OBJECT(items[i]), "qv-command", reinterpret_cast<gpointer>(kMenuIds[i]));
    g_signal_connect(items[i], "activate", G_CALLBACK(+[](GtkMenuItem* item, gpointer self) {
                       auto id = reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(item), "qv-command"));
                       static_cast<TrayImpl*>(self)->host.OnCommand(id);
                     }),
                     this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), items[i]);
    gtk_widget_set_sensitive(items[i], enabled[i]);
    gtk_widget_show(items[i]);
  }
}

void TrayImpl::UpdateMenuItems() {
  enabled[0] = state == Disconnected;
  enabled[1] = state == Connecting || state == Connected;
  enabled[2] = enabled[3] = true;
  for (int i = 0; i < kMenuItemCount; ++i) {
    if (items[i] != nullptr) gtk_widget_set_sensitive(items[i], enabled[i]);
    // Unchanged values send nothing; a change reaches the host as a property update.
    if (menuItems[i] != nullptr)
      dbusmenu_menuitem_property_set_bool(menuItems[i], DBUSMENU_MENUITEM_PROP_ENABLED, enabled[i]);
  }
}

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
void TrayImpl::StartMenuExport() {
  if (menuServer != nullptr) return;
  menuRoot = dbusmenu_menuitem_new();
  const char* texts[kMenuItemCount] = {"Connect", "Disonnect", visitText, "Exit"};
  for (int i = 0; i < kMenuItemCount; ++i) {
    char label[sizeof visitText * 2];
    EscapeMnemonics(texts[i], label, sizeof label);
    menuItems[i] = dbusmenu_menuitem_new();
    dbusmenu_menuitem_property_set(menuItems[i], DBUSMENU_MENUITEM_PROP_LABEL, label);
    dbusmenu_menuitem_property_set_bool(menuItems[i], DBUSMENU_MENUITEM_PROP_ENABLED, enabled[i]);
    g_object_set_data(G_OBJECT(menuItems[i]), "qv-command", reinterpret_cast<gpointer>(kMenuIds[i]));
    g_signal_connect(menuItems[i], DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                     G_CALLBACK(+[](DbusmenuMenuitem* item, guint, gpointer self) {
                       auto* impl = static_cast<TrayImpl*>(self);
                       auto id = reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(item), "qv-command"));
                       // A host may send an event for a greyed item: the menu's rules hold all the same.
                       const int index = MenuIndex(id);
                       if (index >= 0 && impl->enabled[index]) impl->host.OnCommand(id);
                     }),
                     this);
    dbusmenu_menuitem_child_append(menuRoot, menuItems[i]);
  }
  menuServer = dbusmenu_server_new(kMenuPath);
  dbusmenu_server_set_root(menuServer, menuRoot);
}

void TrayImpl::StopMenuExport() {
  for (DbusmenuMenuitem*& item : menuItems) {
    if (item != nullptr) g_signal_handlers_disconnect_by_data(item, this);
    g_clear_object(&item);
  }
  g_clear_object(&menuServer);
  g_clear_object(&menuRoot);
}

// The pictures of one colour, as the item protocol wants them: ARGB32 in
// network byte order, one entry per size.
GVariant* TrayImpl::Pixmaps(IconColour colour) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (int s = 0; s < kIconSizeCount; ++s) {
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

void OnItemMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
  auto* impl = static_cast<TrayImpl*>(self);
  gint32 x = 0, y = 0;
  uint32_t message = 0;
  if (std::strcmp(method, "Activate") == 0) {
    message = WM_LBUTTONDOWN;
    g_variant_get(parameters, "(ii)", &x, &y);
  } else if (std::strcmp(method, "ContextMenu") == 0) {
    message = WM_RBUTTONDOWN;
    g_variant_get(parameters, "(ii)", &x, &y);
  }
  // Answer first: the host may open a modal dialog, and the panel must not wait for it.
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (message != 0) impl->host.OnTrayIcon(message, x, y);
}

GVariant* OnItemProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                         GError** error, gpointer self) {
  auto* impl = static_cast<TrayImpl*>(self);
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

GVariant* CallSync(GDBusConnection* bus, const char* name, const char* path, const char* interface,
                   const char* method, GVariant* parameters, const char* replyType) {
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, name, path, interface, method, parameters,
                                  replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, kBusCallTimeoutMs, nullptr, &error);
  g_clear_error(&error);
  return reply;
}

}  // namespace

// The process's shared session bus, which the menu server uses too; a
// vanished bus must not end the program.
bool TrayImpl::ConnectBus() {
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

void TrayImpl::DisconnectBus() {
  if (watchId != 0) g_bus_unwatch_name(watchId);
  watchId = 0;
  // Shared with the rest of the process: dropped, not closed.
  g_clear_object(&bus);
}

bool TrayImpl::WatcherPresent() {
  gboolean present = FALSE;
  if (GVariant* reply = CallSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", g_variant_new("(s)", kWatcherName), "(b)")) {
    g_variant_get(reply, "(b)", &present);
    g_variant_unref(reply);
  }
  return present;
}

// Exports the item and asks the watcher to show it.
bool TrayImpl::StartSni() {
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

  sniColour = ColourFor(state);
  sniTooltip = TooltipFor(state);
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
        auto* impl = static_cast<TrayImpl*>(self);
        impl->StopSni();
        impl->protocol = impl->StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
      },
      this);
  return true;
}

void TrayImpl::StopSni() {
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
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "ReleaseName", g_variant_new("(s)", itemName), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                           nullptr, nullptr, nullptr);
  itemName[0] = '\0';
}

// A panel often starts after the programs of the session: when its watcher
// appears and no XEmbed tray has taken the icon, the icon moves to it.
void TrayImpl::WatchForWatcher() {
  watchId = g_bus_watch_name_on_connection(
      bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
        auto* impl = static_cast<TrayImpl*>(self);
        if (impl->protocol == TrayProtocol::Sni || impl->XEmbedded()) return;
        g_bus_unwatch_name(impl->watchId);
        impl->watchId = 0;
        impl->StopXEmbed();
        if (!impl->StartSni()) impl->protocol = impl->StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
      },
      nullptr, this, nullptr);
}

void TrayImpl::RefreshSni() {
  if (bus == nullptr) return;
  const IconColour colour = ColourFor(state);
  const char* tooltip = TooltipFor(state);
  const bool newIcon = colour != sniColour;
  const bool newTooltip = std::strcmp(tooltip, sniTooltip) != 0;
  sniColour = colour;
  sniTooltip = tooltip;
  if (newIcon)
    g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, "NewIcon", nullptr, nullptr);
  if (newTooltip)
    g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, "NewToolTip", nullptr, nullptr);
}

// GtkStatusIcon is deprecated but is GTK 3's only XEmbed tray client.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

gboolean OnStatusIconPress(GtkStatusIcon*, GdkEventButton* event, gpointer self) {
  if (event->type != GDK_BUTTON_PRESS) return TRUE;  // the second press of a double click is no new press
  uint32_t message = event->button == 1 ? WM_LBUTTONDOWN : event->button == 3 ? WM_RBUTTONDOWN : 0;
  if (message != 0)
    static_cast<TrayImpl*>(self)->host.OnTrayIcon(message, static_cast<int>(event->x_root),
                                                  static_cast<int>(event->y_root));
  return TRUE;
}

gboolean OnStatusIconSize(GtkStatusIcon*, gint, gpointer self) {
  static_cast<TrayImpl*>(self)->RefreshXEmbed();
  return TRUE;
}

}  // namespace

bool TrayImpl::StartXEmbed() {
  if (gdk_display_get_default() == nullptr) return false;
  statusIcon = gtk_status_icon_new();
  gtk_status_icon_set_name(statusIcon, "quorvanta");
  gtk_status_icon_set_title(statusIcon, "Quorvanta");
  g_signal_connect(statusIcon, "button-press-event", G_CALLBACK(OnStatusIconPress), this);
  g_signal_connect(statusIcon, "size-changed", G_CALLBACK(OnStatusIconSize), this);
  RefreshXEmbed();
  gtk_status_icon_set_visible(statusIcon, TRUE);
  return true;
}

bool TrayImpl::XEmbedded() const { return statusIcon != nullptr && gtk_status_icon_is_embedded(statusIcon); }

void TrayImpl::StopXEmbed() {
  if (statusIcon == nullptr) return;
  g_signal_handlers_disconnect_by_data(statusIcon, this);
  gtk_status_icon_set_visible(statusIcon, FALSE);
  g_clear_object(&statusIcon);
}

void TrayImpl::RefreshXEmbed() {
  if (statusIcon == nullptr) return;
  // The smallest picture that fills the tray's slot; the largest when none does.
  const int slot = gtk_status_icon_get_size(statusIcon);
  const IconColour colour = ColourFor(state);
  GdkPixbuf* pixbuf = nullptr;
  for (int s = 0; s < kIconSizeCount && pixbuf == nullptr; ++s)
    if (kIconSizes[s] >= slot) pixbuf = icons[colour][s];
  for (int s = kIconSizeCount - 1; s >= 0 && pixbuf == nullptr; --s) pixbuf = icons[colour][s];
  if (pixbuf != nullptr) gtk_status_icon_set_from_pixbuf(statusIcon, pixbuf);
  gtk_status_icon_set_tooltip_text(statusIcon, TooltipFor(state));
}

bool Tray::IconArea(int* x, int* y, int* width, int* height) const {
  GtkStatusIcon* icon = impl_->statusIcon;
  GdkRectangle area;
  if (icon == nullptr || !gtk_status_icon_is_embedded(icon) ||
      !gtk_status_icon_get_geometry(icon, nullptr, &area, nullptr) || area.width <= 1 || area.height <= 1)
    return false;  // a 1 x 1 area is the placeholder before the tray has sized the icon
  *x = area.x;
  *y = area.y;
  *width = area.width;
  *height = area.height;
  return true;
}

#pragma GCC diagnostic pop

Tray::Tray(TrayHost& host) : impl_(new TrayImpl(host)) {
  char siteHost[256];
  SiteHostName(platform::SiteBase(), siteHost, sizeof siteHost);
  std::snprintf(impl_->visitText, sizeof impl_->visitText, "Visit %s", siteHost);
  impl_->LoadIcons();
  impl_->EnsureMenu();
  impl_->UpdateMenuItems();
}

Tray::~Tray() {
  Remove();
  if (impl_->menu != nullptr) {
    gtk_widget_destroy(impl_->menu);
    g_object_unref(impl_->menu);
  }
  for (auto& sizes : impl_->icons)
    for (GdkPixbuf*& pixbuf : sizes) g_clear_object(&pixbuf);
  delete impl_;
}

void Tray::Add(TunnelState state) {
  if (impl_->added) {
    Update(state);
    return;
  }
  impl_->added = true;
  impl_->state = state;
  impl_->EnsureMenu();
  impl_->UpdateMenuItems();
  const bool bus = impl_->ConnectBus();
  if (bus && impl_->WatcherPresent() && impl_->StartSni()) return;
  impl_->protocol = impl_->StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
  if (bus) impl_->WatchForWatcher();
}

void Tray::Update(TunnelState state) {
  impl_->state = state;
  if (impl_->protocol == TrayProtocol::Sni) impl_->RefreshSni();
  if (impl_->protocol == TrayProtocol::XEmbed) impl_->RefreshXEmbed();
  impl_->UpdateMenuItems();
}

void Tray::Remove() {
  impl_->StopSni();
  impl_->StopXEmbed();
  impl_->DisconnectBus();
  impl_->protocol = TrayProtocol::None;
  impl_->added = false;
  if (impl_->menu != nullptr) gtk_menu_popdown(GTK_MENU(impl_->menu));
}

void Tray::PopupMenu(int x, int y) {
  impl_->EnsureMenu();
  if (impl_->menu == nullptr) return;
  GdkWindow* root = gdk_screen_get_root_window(gdk_screen_get_default());
  if (root == nullptr) return;
  // The press position is a point on the root window: the menu's top right corner goes there.
  GdkRectangle at = {x, y, 1, 1};
  // Opened from a bus call there is no press event to take the grab from: make one.
  GdkEvent* trigger = gtk_get_current_event();
  if (trigger == nullptr) {
    trigger = gdk_event_new(GDK_BUTTON_PRESS);
    trigger->button.window = GDK_WINDOW(g_object_ref(root));
    trigger->button.time = GDK_CURRENT_TIME;
    trigger->button.button = 3;
    trigger->button.x = trigger->button.x_root = x;
    trigger->button.y = trigger->button.y_root = y;
    if (GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(root)))
      gdk_event_set_device(trigger, gdk_seat_get_pointer(seat));
  }
  gtk_menu_popup_at_rect(GTK_MENU(impl_->menu), root, &at, GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_EAST,
                         trigger);
  gdk_event_free(trigger);
}

bool Tray::IsShown() const { return impl_->protocol != TrayProtocol::None; }

bool Tray::IsMenuItemEnabled(uintptr_t id) const {
  const int index = MenuIndex(id);
  return index >= 0 && impl_->enabled[index];
}

const char* Tray::Tooltip() const { return TooltipFor(impl_->state); }

const char* Tray::IconName() const { return kIconNames[ColourFor(impl_->state)]; }

const char* Tray::Protocol() const {
  switch (impl_->protocol) {
    case TrayProtocol::Sni:
      return "sni";
    case TrayProtocol::XEmbed:
      return "xembed";
    default:
      return "none";
  }
}
