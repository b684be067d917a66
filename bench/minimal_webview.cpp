// The yardstick for the front end's figures: a plain GTK window with a
// WebKitGTK view loading a one-line page, placed like the front end's window.
// Options switch on the memory-saving WebKit settings one by one:
//   --hw-never        hardware-acceleration-policy NEVER
//   --no-page-cache   enable-page-cache FALSE
//   --viewer-cache    cache model DOCUMENT_VIEWER
//   --ephemeral       an ephemeral web context (no disk cache or stored data)
//   --all             all of the above (what the front end uses)
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstring>

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  bool hwNever = false, noPageCache = false, viewerCache = false, ephemeral = false;
  for (int i = 1; i < argc; ++i) {
    bool all = std::strcmp(argv[i], "--all") == 0;
    if (all || std::strcmp(argv[i], "--hw-never") == 0) hwNever = true;
    if (all || std::strcmp(argv[i], "--no-page-cache") == 0) noPageCache = true;
    if (all || std::strcmp(argv[i], "--viewer-cache") == 0) viewerCache = true;
    if (all || std::strcmp(argv[i], "--ephemeral") == 0) ephemeral = true;
  }
  WebKitWebContext* context = ephemeral ? webkit_web_context_new_ephemeral() : webkit_web_context_new();
  if (viewerCache) webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  WebKitSettings* settings = webkit_settings_new();
  if (hwNever) webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  if (noPageCache) g_object_set(settings, "enable-page-cache", FALSE, nullptr);
  GtkWidget* view =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "settings", settings, nullptr));
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  GdkRectangle area;
  GdkMonitor* monitor = gdk_display_get_primary_monitor(gdk_display_get_default());
  if (!monitor) monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
  gdk_monitor_get_workarea(monitor, &area);
  gtk_window_move(GTK_WINDOW(window), area.x + area.width - 400, area.y + area.height - 300);
  gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), "<body style=\"margin:0;background:#EB7060\"></body>", nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
