// Windows: the crash hooks themselves are the structured-exception filter and
// the C run-time's (crash/hooks_win.cpp); here is what the portable crash code
// asks of the system around them.
#include "platform/signal_handlers.h"

#include <windows.h>

#include <csignal>
#include <float.h>

namespace platform {

static_assert(sizeof(CONTEXT) <= kContextStorageSize, "a CONTEXT fits the storage");

// A stack overflow leaves the thread this much stack to report it with.
bool InstallAltStack(AltStack* stack) {
  ULONG guarantee = 64 * 1024;
  stack->installed = SetThreadStackGuarantee(&guarantee) != FALSE;
  return stack->installed;
}

void RemoveAltStack(AltStack* stack) { stack->installed = false; }

bool CaptureContext(void* storage) {
  RtlCaptureContext(static_cast<CONTEXT*>(storage));
  return true;
}

[[noreturn]] void ExitNow(int code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) Sleep(INFINITE);
}

void TrapFloatDivide() {
  unsigned int current = 0;
  _controlfp_s(&current, 0, 0);
  _controlfp_s(&current, current & ~static_cast<unsigned int>(_EM_ZERODIVIDE), _MCW_EM);
}

int RaiseCrashSignal(CrashSignal signal) {
  switch (signal) {
    case CrashSignal::Segv:
      return raise(SIGSEGV);
    case CrashSignal::Fpe:
      return raise(SIGFPE);
    case CrashSignal::Ill:
      return raise(SIGILL);
    case CrashSignal::Abrt:
      return raise(SIGABRT);
    case CrashSignal::Int:
      return raise(SIGINT);
    case CrashSignal::Term:
      return raise(SIGTERM);
    case CrashSignal::Bus:
      break;  // Windows has none
  }
  return -1;
}

}  // namespace platform
