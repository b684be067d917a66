// The hooks a crash comes through, the same on every system: terminate, new,
// pure call, invalid parameter and the unexpected slot, and the report that
// every handler makes under the report lock. The system's own ways in
// (signals, structured exceptions) are in hooks_<system>.cpp.
#include <cstdlib>
#include <exception>
#include <new>

#include "crash/crash_handler.h"
#include "crash/hooks.h"
#include "platform/crash_process.h"

namespace crash {

void (*g_externalQuit)() = nullptr;
void (*g_pureCallHook)() = nullptr;
void (*g_invalidParameterHook)(const char16_t*, const char16_t*, const char16_t*, unsigned) = nullptr;

bool Report(CrashExceptionInfo& info, const platform::SignalEvent* signal, bool alwaysEnd) {
  CCrashHandler* h = g_crashHandler.load();
  if (!h) return false;
  if (signal && signal->hardware && h->reportLock.HeldByCaller()) {
    // The report itself faulted: a second report would fault again.
    h->RemoveNames();
    platform::ExitNow(1);
  }
  h->reportLock.Lock();
  h->continueExecution = 0;
  h->ReportStep(&info, signal);
  if (alwaysEnd || !h->continueExecution) {
    h->RemoveNames();  // the sender has what it needs; no name may outlive the process
    platform::ExitNow(1);
  }
  h->reportLock.Unlock();
  return true;
}

CrashExceptionInfo NewInfo(int32_t type) {
  CrashExceptionInfo info{};
  info.cb = kCrashExceptionInfoSize;
  info.exctype = type;
  return info;
}

uint32_t ThreadHooks(CCrashHandler* h) {
  ThreadEntry* t = h->FindThread(platform::CurrentThreadId());
  return t ? t->hooks.load() : 0;
}

void OnTerminate() {
  CCrashHandler* h = g_crashHandler.load();
  if (h && (ThreadHooks(h) & CRASH_INST_TERMINATE_HANDLER)) {
    CrashExceptionInfo info = NewInfo(CRASH_TYPE_TERMINATE);
    Report(info, nullptr, false);
  }
  // terminate must not return: the previous course follows.
  if (h && h->savedTerminate) h->savedTerminate();
  std::abort();
}

void OnUnexpected() {
  CCrashHandler* h = g_crashHandler.load();
  if (!h || !(ThreadHooks(h) & CRASH_INST_UNEXPECTED_HANDLER)) return;
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_UNEXPECTED);
  Report(info, nullptr, false);
}

void OnNewHandler() {
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_NEW_FAILED);
  Report(info, nullptr, false);
  // Going on, or no handler: the allocation is not retried.
  throw std::bad_alloc();
}

void OnPureCall() {
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_PURE_CALL);
  Report(info, nullptr, false);
  std::abort();
}

void OnInvalidParameter(const char16_t* expression, const char16_t* function, const char16_t* file, unsigned line) {
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_INVALID_PARAMETER);
  info.expression = expression;
  info.function = function;
  info.file = file;
  info.line = line;
  Report(info, nullptr, false);
}

// Entry points for the program's own code.
void PureCallHook() {
  if (g_pureCallHook) g_pureCallHook();
  std::abort();
}

void InvalidParameterHook(const char16_t* expression, const char16_t* function, const char16_t* file, unsigned line) {
  if (g_invalidParameterHook) g_invalidParameterHook(expression, function, file, line);
}

}  // namespace crash

// The run-time calls this for a pure virtual call; it reaches the crash hook.
extern "C" void __cxa_pure_virtual() { crash::PureCallHook(); }
