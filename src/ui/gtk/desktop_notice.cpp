// Desktop notices through the session's notification service (libnotify).
#include <libnotify/notify.h>

#include "ui/gtk/tray_gtk.h"

bool GtkTray::Notify(const char* title, const char* text) {
  // Without a notification service the notice is lost, and nothing else.
  if (!notify_is_initted() && !notify_init("Quorvanta")) return false;
  NotifyNotification* notice = notify_notification_new(title, text, "network-vpn");
  if (!notice) return false;
  notify_notification_set_urgency(notice, NOTIFY_URGENCY_NORMAL);
  GError* error = nullptr;
  const bool shown = notify_notification_show(notice, &error) != FALSE;
  if (error) g_error_free(error);
  g_object_unref(notice);
  return shown;
}
