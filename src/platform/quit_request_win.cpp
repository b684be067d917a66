#include "platform/quit_request.h"

#include <windows.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<HANDLE> g_quitEvent{nullptr};

// ^C, ^Break, the console's close button, logoff and shutdown all mean quit.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RequestQuit();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool InitQuitRequest() {
  if (g_quitEvent.load()) return true;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!event) return false;
  g_quitEvent.store(event);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  return true;
}

void RequestQuit() {
  HANDLE event = g_quitEvent.load();
  if (event) SetEvent(event);
}

bool WaitQuitRequest() {
  HANDLE event = g_quitEvent.load();
  return event && WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0;
}

}  // namespace platform
