#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/message_box.h"

namespace platform {

namespace {
std::atomic<MessageBoxHandler> g_handler{nullptr};
}

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler.store(handler); }

void ShowMessageBox(const char* caption, const char* text, MessageIcon icon) {
  const char* mode = std::getenv("QUORVANTA_MESSAGES");
  MessageBoxHandler handler = g_handler.load();
  if (handler && !(mode && std::strcmp(mode, "stderr") == 0)) {
    handler(caption, text, icon);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
}

}  // namespace platform
