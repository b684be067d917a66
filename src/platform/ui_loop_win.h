#pragma once
// Between the Windows loop and the queue's window procedure.
#include <windows.h>

namespace platform {

// Hands a message that reached the queue's window to the running loop's
// receiver; false when no loop runs (the message is then dropped).
bool DeliverQueueMessage(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace platform
