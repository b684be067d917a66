// The crash hooks of Linux: one dispatcher for the crash signals, which carry
// the process's structured faults and the per-thread signal hooks alike, and
// the process hooks installed and put back.
#include <new>

#include "crash/crash_handler.h"
#include "crash/hooks.h"
#include "platform/crash_process.h"

namespace crash {

namespace {

using platform::CrashSignal;

constexpr CrashSignal kAllSignals[] = {CrashSignal::Segv, CrashSignal::Bus, CrashSignal::Fpe, CrashSignal::Ill,
                                       CrashSignal::Abrt, CrashSignal::Int, CrashSignal::Term};

uint32_t FaultCode(const platform::SignalEvent& e) {
  if (e.stackOverflow) return kExceptionStackOverflow;
  switch (e.signal) {
    case CrashSignal::Fpe:
      return e.floatFault ? kExceptionFloatDivideByZero : kExceptionIntDivideByZero;
    case CrashSignal::Ill:
      return kExceptionIllegalInstruction;
    default:
      return kExceptionAccessViolation;
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
      const uint32_t bit = e.signal == CrashSignal::Fpe    ? CRASH_INST_SIGFPE_HANDLER
                           : e.signal == CrashSignal::Ill  ? CRASH_INST_SIGILL_HANDLER
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
      // A signal another process sends is the process's, and the kernel hands
      // it to any of its threads: the handler mask decides, not that thread's hooks.
      if (bit && ((hooks & bit) || (e.fromOutside && !e.hardware && (mask & bit)))) {
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
        if (g_externalQuit)
          g_externalQuit();
        else
          Chain(h, e);
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
                        (s == CrashSignal::Term && (mask & CRASH_INST_TERMINATE_HANDLER)) || s == CrashSignal::Segv ||
                        s == CrashSignal::Bus || s == CrashSignal::Fpe || s == CrashSignal::Ill;
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

}  // namespace crash
