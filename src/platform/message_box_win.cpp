#include "platform/message_box.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::atomic<MessageBoxHandler> g_handler{nullptr};

// Narrow texts are UTF-8; a text that does not convert is shown as it stands.
void Widen(const char* text, wchar_t* out, int size) {
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, size) == 0) {
    int i = 0;
    for (; i + 1 < size && text[i]; ++i) out[i] = static_cast<unsigned char>(text[i]);
    out[i] = 0;
  }
}

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler.store(handler); }

void ShowMessageBox(const char* caption, const char* text, MessageIcon icon) {
  const char* mode = std::getenv("QUORVANTA_MESSAGES");
  const bool toStderr = mode && std::strcmp(mode, "stderr") == 0;
  if (toStderr) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    return;
  }
  if (MessageBoxHandler handler = g_handler.load()) {
    handler(caption, text, icon);
    return;
  }
  wchar_t wideCaption[256];
  wchar_t wideText[2048];
  Widen(caption, wideCaption, 256);
  Widen(text, wideText, 2048);
  MessageBoxW(nullptr, wideText, wideCaption, MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : 0));
}

}  // namespace platform
