#pragma once
// The user-interface thread's loop: it hands each message posted to UiQueue()
// to one receiver and runs the UI timers and the windows of the thread, until
// QuitUiLoop. The front end has this one loop, with or without a window.
#include <cstdint>

#include "platform/message_queue.h"

namespace platform {

using MessageReceiver = void (*)(const Message& message, void* context);

// Runs on the thread that made UiQueue(); returns once QuitUiLoop was called
// or the system asked the thread to quit, with the wParam of the last message
// taken. On Windows a close request (WM_CLOSE) posted to any window of the
// thread reaches the receiver undispatched, as a posted msg::Close.
intptr_t RunUiLoop(MessageReceiver receive, void* context);
// Ends RunUiLoop once the message or timer being handled returns; messages
// still queued are not delivered. User-interface thread only.
void QuitUiLoop();
// The window that sees each key press first (Windows: the browser's keyboard
// handling is asked before the press is dispatched); null for none.
void SetUiKeyWindow(void* nativeWindow);

}  // namespace platform
