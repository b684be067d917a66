#include "platform/message_queue.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/ui_loop_win.h"

namespace platform {

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvantaMessageQueue";

// The program's messages (close, menu commands and its own numbers from
// WM_USER up) go to the loop's receiver, also when a menu's or a box's modal
// loop dispatches them; the system's own messages to the window take the
// default path. A stray WM_CLOSE never destroys the window.
LRESULT CALLBACK QueueWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool programs = message == WM_CLOSE || message == WM_COMMAND || (message >= WM_USER && message < 0xC000);
  if (programs) {
    DeliverQueueMessage(message, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterQueueClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &QueueWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

MessageQueue::MessageQueue() {
  HWND window = nullptr;
  if (RegisterQueueClass()) {
    window =
        CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  if (!window) {
    std::fprintf(stderr, "Cannot create the message window (error %lu).\n", GetLastError());
    std::abort();
  }
  window_ = window;
}

MessageQueue::~MessageQueue() { DestroyWindow(static_cast<HWND>(window_)); }

void MessageQueue::Post(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  // Fails only when the thread's queue holds 10000 messages the loop has not taken.
  if (!PostMessageW(static_cast<HWND>(window_), id, wParam, lParam))
    std::fprintf(stderr, "Message %u to the window was lost (error %lu).\n", id, GetLastError());
}

bool MessageQueue::TryTake(Message* out) {
  MSG msg;
  if (!PeekMessageW(&msg, static_cast<HWND>(window_), 0, 0, PM_REMOVE)) return false;
  *out = Message{msg.message, msg.wParam, msg.lParam};
  return true;
}

bool MessageQueue::WaitTake(Message* out, int timeoutMs) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (TryTake(out)) return true;
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(timeoutMs)) return false;
      wait = static_cast<DWORD>(timeoutMs - spent);
    }
    // Wakes for messages posted since the look above.
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_POSTMESSAGE) == WAIT_FAILED) return false;
  }
}

MessageQueue& UiQueue() {
  static MessageQueue* queue = new MessageQueue();  // lives to process end: workers may post late
  return *queue;
}

}  // namespace platform
