#include "ui/windowing.h"

#include <gtk/gtk.h>

#include "platform/message_box_gtk.h"

bool InitWindowing(int* argc, char*** argv) {
  if (!gtk_init_check(argc, argv)) return false;
  platform::InstallGtkMessageBoxes();
  return true;
}
