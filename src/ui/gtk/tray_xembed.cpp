// The XEmbed icon in a system tray (GtkStatusIcon), for desktops without a
// StatusNotifierItem watcher.
#include "ui/gtk/tray_gtk.h"

// GtkStatusIcon is deprecated but is GTK 3's only XEmbed tray client.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

gboolean OnStatusIconPress(GtkStatusIcon*, GdkEventButton* event, gpointer self) {
  if (event->type != GDK_BUTTON_PRESS) return TRUE;  // the second press of a double click is no new press
  uint32_t message = event->button == 1 ? msg::LeftButtonDown : event->button == 3 ? msg::RightButtonDown : 0u;
  if (message != 0)
    static_cast<GtkTray*>(self)->host.OnTrayIcon(message, static_cast<int>(event->x_root),
                                                 static_cast<int>(event->y_root));
  return TRUE;
}

gboolean OnStatusIconSize(GtkStatusIcon*, gint, gpointer self) {
  static_cast<GtkTray*>(self)->RefreshXEmbed();
  return TRUE;
}

}  // namespace

bool GtkTray::StartXEmbed() {
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

bool GtkTray::XEmbedded() const { return statusIcon != nullptr && gtk_status_icon_is_embedded(statusIcon); }

void GtkTray::StopXEmbed() {
  if (statusIcon == nullptr) return;
  g_signal_handlers_disconnect_by_data(statusIcon, this);
  gtk_status_icon_set_visible(statusIcon, FALSE);
  g_clear_object(&statusIcon);
}

void GtkTray::RefreshXEmbed() {
  if (statusIcon == nullptr) return;
  // The smallest picture that fills the tray's slot; the largest when none does.
  const int slot = gtk_status_icon_get_size(statusIcon);
  const TrayColour colour = model.Colour();
  GdkPixbuf* pixbuf = nullptr;
  for (int s = 0; s < 4 && pixbuf == nullptr; ++s)
    if (TrayModel::kIconSizes[s] >= slot) pixbuf = icons[colour][s];
  for (int s = 4 - 1; s >= 0 && pixbuf == nullptr; --s) pixbuf = icons[colour][s];
  if (pixbuf != nullptr) gtk_status_icon_set_from_pixbuf(statusIcon, pixbuf);
  gtk_status_icon_set_tooltip_text(statusIcon, model.Tooltip());
}
bool GtkTray::IconArea(int* x, int* y, int* width, int* height) const {
  GtkStatusIcon* icon = statusIcon;
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
