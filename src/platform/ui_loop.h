#pragma once
// The user-interface thread's loop: it hands each message posted to UiQueue()
// to one receiver and runs the UI timers, until QuitUiLoop. The window's own
// loop (GTK's, or the window procedure on Windows) does the same for a window.
#include "platform/message_queue.h"

namespace platform {

using MessageReceiver = void (*)(const Message& message, void* context);

// Runs on the thread that made UiQueue(); returns once QuitUiLoop was called.
void RunUiLoop(MessageReceiver receive, void* context);
// Ends RunUiLoop once the message or timer being handled returns; messages
// still queued are not delivered. User-interface thread only.
void QuitUiLoop();

}  // namespace platform
