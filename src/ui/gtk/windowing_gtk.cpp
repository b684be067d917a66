#include "ui/windowing.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

#include "platform/message_box_gtk.h"

namespace {

bool Named(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

}  // namespace

bool InitWindowing(int* argc, char*** argv) {
  // A window may place itself, stay above and keep out of the task bar only on
  // X; under a Wayland session XWayland gives that, so X goes first. GDK_BACKEND
  // set by the user still wins.
  if (!Named("GDK_BACKEND")) gdk_set_allowed_backends("x11,wayland");
  if (!gtk_init_check(argc, argv)) return false;
  GdkDisplay* display = gdk_display_get_default();
  if (display && !GDK_IS_X11_DISPLAY(display))
    std::fprintf(stderr,
                 "quorvanta: no X display (XWayland) next to Wayland; the window is shown where "
                 "the compositor puts it, without its corner place or tray embedding\n");
  platform::InstallGtkMessageBoxes();
  return true;
}
