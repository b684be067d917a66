// The hooks a crash comes through: signals, terminate, new, pure call,
// invalid parameter and the unexpected slot. Each makes one report under the
// report lock and ends the process unless a callback asks to go on.
#include <cstdlib>
#include <exception>
#include <new>

#include "crash/crash_handler.h"
#include "platform/crash_process.h"

namespace crash {

void (*g_externalQuit)() = nullptr;

namespace {

using platform::CrashSignal;

void (*g_pureCallHook)() = nullptr;
void (*g_invalidParameterHook)(const char16_t*, const char16_t*, const char16_t*, unsigned) = nullptr;

constexpr CrashSignal kAllSignals[] = {CrashSignal::Segv, CrashSignal::Bus, CrashSignal::Fpe, CrashSignal::Ill,
                                       CrashSignal::Abrt, CrashSignal::Int, CrashSignal::Term};

// Steps 1 to 6 of every handler. Returns (false) when there is no handler or
// the report lets the process go on. Async-signal-safe.
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
    h->RemoveNames();  // the sender has what it needs; nothing may stay in /dev/shm
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

uint32_t FaultCode(const platform::SignalEvent& e) {
  if (e.stackOverflow) return kExceptionStackOverflow;
  switch (e.signal) {
    case CrashSignal::Fpe: return e.floatFault ? kExceptionFloatDivideByZero : kExceptionIntDivideByZero;
    case CrashSignal::Ill: return kExceptionIllegalInstruction;
    default: return kExceptionAccessViolation;
  }
}

void Chain(CCrashHandler* h, const platform::SignalEvent& e) {
  static platform::SavedSignalAction none;
  platform::ChainSignal(e, h ? h->savedSignals[static_cast<int>(e.signal)] : none);
}

}  // namespace

void OnCrashSignal(const platform::SignalEvent& e) {
  CCrashHandler* h = g_crashHandler.load();
  if (!h) {
    Chain(nullptr, e);
    return;
  }
  const uint32_t mask = h->HandlerMask();
  const uint32_t hooks = ThreadHooks(h);
  int32_t type = -1;
  switch (e.signal) {
    case CrashSignal::Segv:
    case CrashSignal::Bus:
    case CrashSignal::Fpe:
    case CrashSignal::Ill: {
      const uint32_t bit = e.signal == CrashSignal::Fpe   ? CRASH_INST_SIGFPE_HANDLER
                           : e.signal == CrashSignal::Ill ? CRASH_INST_SIGILL_HANDLER
                           : e.signal == CrashSignal::Segv ? CRASH_INST_SIGSEGV_HANDLER
                                                           : 0;
      const int32_t own = e.signal == CrashSignal::Fpe   ? CRASH_TYPE_SIGFPE
                          : e.signal == CrashSignal::Ill ? CRASH_TYPE_SIGILL
                                                         : CRASH_TYPE_SIGSEGV;
      // A floating-point trap goes to the thread's SIGFPE handler, as the C
      // run-time turns those exceptions into SIGFPE; other faults are the
      // structured exception of the process filter.
      if (e.hardware && !(e.floatFault && (hooks & CRASH_INST_SIGFPE_HANDLER)) &&
          (mask & CRASH_INST_SEH_EXCEPTION_HANDLER)) {
        CrashExceptionRecord record{FaultCode(e), 0, e.address};
        CrashExceptionPointers pointers{&record, e.context};
        CrashExceptionInfo info = NewInfo(CRASH_TYPE_STRUCTURED);
        info.code = record.code;
        info.exceptionPointers = &pointers;
        // Nothing can go on past a fault: the instruction would fault again.
        Report(info, &e, true);
        Chain(h, e);
        return;
      }
      if (bit && (hooks & bit)) {
        type = own;
        break;
      }
      Chain(h, e);
      return;
    }
    case CrashSignal::Abrt:
      if (!(mask & CRASH_INST_SIGABRT_HANDLER)) return Chain(h, e);
      type = CRASH_TYPE_SIGABRT;
      break;
    case CrashSignal::Int:
    case CrashSignal::Term: {
      const uint32_t bit = e.signal == CrashSignal::Int ? CRASH_INST_SIGINT_HANDLER : CRASH_INST_TERMINATE_HANDLER;
      if (!(mask & bit)) return Chain(h, e);
      if (e.fromOutside) {
        // Another process (a session's end, ^C in a terminal) asks the program to quit.
        if (g_externalQuit) g_externalQuit();
        else Chain(h, e);
        return;
      }
      type = e.signal == CrashSignal::Int ? CRASH_TYPE_SIGINT : CRASH_TYPE_SIGTERM;
      break;
    }
  }
  CrashExceptionInfo info = NewInfo(type);
  CrashExceptionRecord record{0, 0, e.address};
  CrashExceptionPointers pointers{&record, e.context};
  if (type == CRASH_TYPE_SIGFPE || type == CRASH_TYPE_SIGSEGV) info.exceptionPointers = &pointers;
  if (type == CRASH_TYPE_SIGFPE) info.fpeSubcode = static_cast<uint32_t>(e.floatSubcode);
  if (!Report(info, &e, e.hardware || e.stackOverflow)) Chain(h, e);
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

void OnInvalidParameter(const char16_t* expression, const char16_t* function, const char16_t* file,
                        unsigned line) {
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_INVALID_PARAMETER);
  info.expression = expression;
  info.function = function;
  info.file = file;
  info.line = line;
  Report(info, nullptr, false);
}

bool CCrashHandler::InstallProcessHooks() {
  const uint32_t mask = HandlerMask();
  for (auto& s : savedSignals) s.saved = false;
  savedTerminate = nullptr;
  savedNewHandler = nullptr;
  // The fault signals carry the process filter and the per-thread signal
  // hooks alike, so they are always taken; a thread without hooks chains.
  for (CrashSignal s : kAllSignals) {
    const bool wanted = (s == CrashSignal::Abrt && (mask & CRASH_INST_SIGABRT_HANDLER)) ||
                        (s == CrashSignal::Int && (mask & CRASH_INST_SIGINT_HANDLER)) ||
                        (s == CrashSignal::Term && (mask & CRASH_INST_TERMINATE_HANDLER)) ||
                        s == CrashSignal::Segv || s == CrashSignal::Bus || s == CrashSignal::Fpe ||
                        s == CrashSignal::Ill;
    if (wanted && !platform::InstallSignalDispatcher(s, &OnCrashSignal, &savedSignals[static_cast<int>(s)]))
      return false;
  }
  if (mask & CRASH_INST_PURE_CALL_HANDLER) g_pureCallHook = &OnPureCall;
  if (mask & CRASH_INST_NEW_OPERATOR_ERROR_HANDLER) savedNewHandler = std::set_new_handler(&OnNewHandler);
  if (mask & CRASH_INST_INVALID_PARAMETER_HANDLER) g_invalidParameterHook = &OnInvalidParameter;
  // terminate is one hook for the process here; the thread table says whose it is.
  savedTerminate = std::set_terminate(&OnTerminate);
  processHooksSet = true;
  return true;
}

void CCrashHandler::RemoveProcessHooks() {
  if (!processHooksSet) return;
  for (CrashSignal s : kAllSignals) platform::RestoreSignalAction(s, savedSignals[static_cast<int>(s)]);
  g_pureCallHook = nullptr;
  g_invalidParameterHook = nullptr;
  if (HandlerMask() & CRASH_INST_NEW_OPERATOR_ERROR_HANDLER) std::set_new_handler(savedNewHandler);
  std::set_terminate(savedTerminate);
  processHooksSet = false;
}

// Entry points for the program's own code.
void PureCallHook() {
  if (g_pureCallHook) g_pureCallHook();
  std::abort();
}

void InvalidParameterHook(const char16_t* expression, const char16_t* function, const char16_t* file,
                          unsigned line) {
  if (g_invalidParameterHook) g_invalidParameterHook(expression, function, file, line);
}

}  // namespace crash

// The run-time calls this for a pure virtual call; it reaches the crash hook.
extern "C" void __cxa_pure_virtual() { crash::PureCallHook(); }
