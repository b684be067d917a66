#include "platform/ui_loop.h"

#include <windows.h>

namespace platform {

namespace {
bool g_quit = false;  // touched only by the user-interface thread
}

// The thread's own message loop: messages to the queue's window go to the
// receiver; everything else (the UI timers, windows) is dispatched as usual.
void RunUiLoop(MessageReceiver receive, void* context) {
  const HWND queue = static_cast<HWND>(UiQueue().NativeWindow());
  g_quit = false;
  MSG msg;
  while (!g_quit) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;  // WM_QUIT, or the queue is gone
    if (msg.hwnd == queue) {
      receive(Message{msg.message, msg.wParam, msg.lParam}, context);
    } else {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

void QuitUiLoop() { g_quit = true; }

}  // namespace platform
