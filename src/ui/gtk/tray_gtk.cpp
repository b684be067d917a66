// The tray on Linux: the shared GTK menu and icons, and the choice between
// the StatusNotifierItem and XEmbed protocols.
#include "ui/gtk/tray_gtk.h"

#include <cstdio>

extern "C" void qv_tray_register_resource(void);

namespace {
constexpr const char* kIconFiles[TrayColourCount] = {"hand48x48_red", "hand48x48_yellow", "hand48x48_green"};
}  // namespace

void GtkTray::LoadIcons() {
  static const bool registered = (qv_tray_register_resource(), true);
  (void)registered;
  for (int c = 0; c < TrayColourCount; ++c) {
    for (int s = 0; s < 4; ++s) {
      char path[128];
      std::snprintf(path, sizeof path, "/quorvanta/tray/%s-%d.png", kIconFiles[c], TrayModel::kIconSizes[s]);
      GError* error = nullptr;
      icons[c][s] = gdk_pixbuf_new_from_resource(path, &error);
      if (icons[c][s] == nullptr) g_clear_error(&error);  // the item then has no picture of that size
    }
  }
}

// The menu needs a display; without one (a headless run) the enabling is
// still kept and the widgets are built when a display first exists.
void GtkTray::EnsureMenu() {
  if (menu != nullptr || gdk_display_get_default() == nullptr) return;
  menu = gtk_menu_new();
  g_object_ref_sink(menu);
  for (int i = 0; i < TrayModel::kItemCount; ++i) {
    items[i] = gtk_menu_item_new_with_label(model.ItemText(i));
    g_object_set_data(G_OBJECT(items[i]), "qv-command", reinterpret_cast<gpointer>(TrayModel::kItemIds[i]));
    g_signal_connect(items[i], "activate", G_CALLBACK(+[](GtkMenuItem* item, gpointer self) {
                       auto id = reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(item), "qv-command"));
                       static_cast<GtkTray*>(self)->host.OnCommand(id);
                     }),
                     this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), items[i]);
    gtk_widget_set_sensitive(items[i], model.enabled[i]);
    gtk_widget_show(items[i]);
  }
}

void GtkTray::UpdateMenuItems() {
  for (int i = 0; i < TrayModel::kItemCount; ++i) {
    if (items[i] != nullptr) gtk_widget_set_sensitive(items[i], model.enabled[i]);
    // Unchanged values send nothing; a change reaches the host as a property update.
    if (menuItems[i] != nullptr)
      dbusmenu_menuitem_property_set_bool(menuItems[i], DBUSMENU_MENUITEM_PROP_ENABLED, model.enabled[i]);
  }
}

GtkTray::GtkTray(const TrayModel& m, TrayHost& h) : model(m), host(h) {
  LoadIcons();
  EnsureMenu();
  UpdateMenuItems();
}

GtkTray::~GtkTray() {
  Remove();
  if (menu != nullptr) {
    gtk_widget_destroy(menu);
    g_object_unref(menu);
  }
  for (auto& sizes : icons)
    for (GdkPixbuf*& pixbuf : sizes) g_clear_object(&pixbuf);
}

std::unique_ptr<TrayBackend> MakeTrayBackend(const TrayModel& model, TrayHost& host) {
  return std::make_unique<GtkTray>(model, host);
}

void GtkTray::Add() {
  EnsureMenu();
  UpdateMenuItems();
  const bool haveBus = ConnectBus();
  if (haveBus && WatcherPresent() && StartSni()) return;
  protocol = StartXEmbed() ? TrayProtocol::XEmbed : TrayProtocol::None;
  if (haveBus) WatchForWatcher();
}

void GtkTray::Update() {
  if (protocol == TrayProtocol::Sni) RefreshSni();
  if (protocol == TrayProtocol::XEmbed) RefreshXEmbed();
  UpdateMenuItems();
}

void GtkTray::Remove() {
  StopSni();
  StopXEmbed();
  DisconnectBus();
  protocol = TrayProtocol::None;
  if (menu != nullptr) gtk_menu_popdown(GTK_MENU(menu));
}

void GtkTray::PopupMenu(int x, int y) {
  EnsureMenu();
  if (menu == nullptr) return;
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
  gtk_menu_popup_at_rect(GTK_MENU(menu), root, &at, GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_EAST, trigger);
  gdk_event_free(trigger);
}

const char* GtkTray::Protocol() const {
  switch (protocol) {
    case TrayProtocol::Sni:
      return "sni";
    case TrayProtocol::XEmbed:
      return "xembed";
    default:
      return "none";
  }
}
