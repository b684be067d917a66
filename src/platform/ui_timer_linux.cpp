#include "platform/ui_timer.h"

#include <glib.h>

#include <utility>

namespace platform {

// The user-interface thread runs GLib's default context, windowed or not.
unsigned StartUiTimer(unsigned ms, std::function<void()> fire) {
  auto* held = new std::function<void()>(std::move(fire));
  return g_timeout_add_full(
      G_PRIORITY_DEFAULT, ms,
      +[](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      held, +[](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void CancelUiTimer(unsigned id) {
  if (id != 0) g_source_remove(id);
}

}  // namespace platform
