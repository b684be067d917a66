#pragma once
// One-shot timers that fire on the user-interface thread's loop, so a wait
// there never blocks the window.
#include <functional>

namespace platform {

// Runs fire once on the user-interface loop after ms milliseconds; returns a
// non-zero id, or 0 when no timer could be made.
unsigned StartUiTimer(unsigned ms, std::function<void()> fire);
// Stops a timer that has not fired yet; 0 is ignored. Never call it with the
// id of a timer that has already fired.
void CancelUiTimer(unsigned id);

}  // namespace platform
