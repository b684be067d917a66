#pragma once
// A request to quit made by a signal from outside (a session's end, ^C in a
// terminal), handed from the signal handler to an ordinary thread.
namespace platform {

// Makes the descriptor; call once before anything may request. On Windows the
// console's ^C, close, logoff and shutdown events request it from then on.
bool InitQuitRequest();
// Async-signal-safe.
void RequestQuit();
// Blocks until a quit was requested; false when there is no descriptor.
bool WaitQuitRequest();

}  // namespace platform
