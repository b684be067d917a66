#include "platform/ui_loop.h"

#include <windows.h>

#include "platform/ui_loop_win.h"

namespace platform {

namespace {

// Touched only by the user-interface thread.
bool g_quit = false;
HWND g_keyWindow = nullptr;
MessageReceiver g_receive = nullptr;
void* g_context = nullptr;

}  // namespace

bool DeliverQueueMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!g_receive || g_quit) return false;
  g_receive(Message{message, wParam, lParam}, g_context);
  return true;
}

// The thread's own message loop. Messages posted to the queue's window reach
// the receiver through its window procedure, so that they are not lost while
// a menu or a box runs a modal loop of its own.
intptr_t RunUiLoop(MessageReceiver receive, void* context) {
  const MessageReceiver outerReceive = g_receive;
  void* const outerContext = g_context;
  g_receive = receive;
  g_context = context;
  g_quit = false;
  MSG message{};
  while (!g_quit) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;  // WM_QUIT, or the queue is gone
    TranslateMessage(&message);
    if (message.message == WM_CLOSE) {
      // A posted close request is never dispatched: the window procedure does not see it.
      receive(Message{WM_CLOSE, message.wParam, message.lParam}, context);
      continue;
    }
    if (message.message == WM_KEYDOWN && g_keyWindow)
      SendMessageW(g_keyWindow, WM_KEYDOWN, message.wParam, message.lParam);
    DispatchMessageW(&message);
  }
  g_receive = outerReceive;
  g_context = outerContext;
  g_quit = false;
  return static_cast<intptr_t>(message.wParam);
}

void QuitUiLoop() { g_quit = true; }

void SetUiKeyWindow(void* nativeWindow) { g_keyWindow = static_cast<HWND>(nativeWindow); }

}  // namespace platform
