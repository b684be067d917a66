#include "platform/ui_timer.h"

#include <windows.h>

#include <utility>
#include <vector>

namespace platform {

namespace {

// Thread timers of the user-interface thread; only that thread touches them.
struct Timer {
  unsigned id;
  UINT_PTR system;
  std::function<void()> fire;
};
std::vector<Timer> g_timers;
unsigned g_lastId = 0;

void CALLBACK OnTimer(HWND, UINT, UINT_PTR system, DWORD) {
  KillTimer(nullptr, system);  // Win32 timers repeat; these fire once
  for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
    if (it->system != system) continue;
    std::function<void()> fire = std::move(it->fire);
    g_timers.erase(it);  // before fire, which may start or cancel timers
    fire();
    return;
  }
}

}  // namespace

// The WM_TIMER of a thread timer reaches OnTimer through the loop's DispatchMessage.
unsigned StartUiTimer(unsigned ms, std::function<void()> fire) {
  const UINT_PTR system = SetTimer(nullptr, 0, ms, &OnTimer);
  if (system == 0) return 0;
  if (++g_lastId == 0) ++g_lastId;
  g_timers.push_back(Timer{g_lastId, system, std::move(fire)});
  return g_lastId;
}

void CancelUiTimer(unsigned id) {
  if (id == 0) return;
  for (auto it = g_timers.begin(); it != g_timers.end(); ++it) {
    if (it->id != id) continue;
    KillTimer(nullptr, it->system);
    g_timers.erase(it);
    return;
  }
}

}  // namespace platform
