// The crash hooks of Windows: the unhandled-exception filter, a vectored
// handler that sees hardware faults before the C run-time's own frame
// handler can turn them into signals, the run-time's hooks (looked up by
// name, since msvcrt.dll lacks some of them) and the six signals.
#include <windows.h>

#include <csignal>
#include <exception>
#include <float.h>
#include <new>

#include "crash/crash_handler.h"
#include "crash/hooks.h"
#include "platform/crash_process.h"

namespace crash {

namespace {

using SignalHandler = void (*)(int);
using PureCallHandler = void(__cdecl*)();
using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);

constexpr int kSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGABRT, SIGINT, SIGTERM};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
void* g_vectored = nullptr;
SignalHandler g_previousSignals[kSignalCount] = {};
PureCallHandler g_previousPureCall = nullptr;
InvalidParameterHandler g_previousInvalidParameter = nullptr;

// The C run-time's setters where it has them (msvcrt.dll on Wine lacks some).
template <typename Setter>
Setter RuntimeFunction(const char* name) {
  for (const wchar_t* dll : {L"msvcrt.dll", L"ucrtbase.dll"}) {
    if (HMODULE module = GetModuleHandleW(dll)) {
      if (FARPROC f = GetProcAddress(module, name)) return reinterpret_cast<Setter>(reinterpret_cast<void (*)()>(f));
    }
  }
  return nullptr;
}

int SignalIndex(int number) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == number) return i;
  return -1;
}

bool IsFloatFault(DWORD code) {
  switch (code) {
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
      return true;
    default:
      return false;
  }
}

// Faults of the instruction itself: the process cannot go on past them.
bool IsHardwareFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return IsFloatFault(code);
  }
}

// The run-time's _FPE_* subcode of a floating-point fault.
uint32_t FloatSubcode(DWORD code) {
  switch (code) {
    case EXCEPTION_FLT_INVALID_OPERATION:
      return 0x81;
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return 0x82;
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return 0x83;
    case EXCEPTION_FLT_OVERFLOW:
      return 0x84;
    case EXCEPTION_FLT_UNDERFLOW:
      return 0x85;
    case EXCEPTION_FLT_INEXACT_RESULT:
      return 0x86;
    case EXCEPTION_FLT_STACK_CHECK:
      return 0x8a;
    default:
      return 0x8c;
  }
}

// The system's record, seen by the report step only as an address.
CrashExceptionPointers* AsPointers(EXCEPTION_POINTERS* pointers) {
  return reinterpret_cast<CrashExceptionPointers*>(pointers);
}

void ReportStructured(EXCEPTION_POINTERS* pointers, bool alwaysEnd) {
  CrashExceptionInfo info = NewInfo(CRASH_TYPE_STRUCTURED);
  info.code = pointers->ExceptionRecord->ExceptionCode;
  info.exceptionPointers = AsPointers(pointers);
  Report(info, nullptr, alwaysEnd);
}

// A stack overflow leaves too little stack for a report: another thread makes it.
DWORD WINAPI ReportOverflow(void* pointers) {
  ReportStructured(static_cast<EXCEPTION_POINTERS*>(pointers), true);
  return 0;
}

[[noreturn]] void ReportOverflowElsewhere(EXCEPTION_POINTERS* pointers) {
  if (HANDLE thread = CreateThread(nullptr, 0, &ReportOverflow, pointers, 0, nullptr)) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  platform::ExitNow(1);
}

// First in line for every exception: only faults of the instruction are
// taken, before the run-time's frame handler would turn them into signals
// (and the filter would never see them).
LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  CCrashHandler* h = g_crashHandler.load();
  if (!h || !IsHardwareFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  if (h->reportLock.HeldByCaller()) {
    // The report itself faulted: a second report would fault again.
    h->RemoveNames();
    platform::ExitNow(1);
  }
  if (IsFloatFault(code) && (ThreadHooks(h) & CRASH_INST_SIGFPE_HANDLER)) {
    CrashExceptionInfo info = NewInfo(CRASH_TYPE_SIGFPE);
    info.exceptionPointers = AsPointers(pointers);
    info.fpeSubcode = FloatSubcode(code);
    Report(info, nullptr, true);
  }
  // Without the filter the run-time's SIGSEGV, SIGILL or SIGFPE hook follows.
  if (!(h->HandlerMask() & CRASH_INST_SEH_EXCEPTION_HANDLER)) return EXCEPTION_CONTINUE_SEARCH;
  if (code == EXCEPTION_STACK_OVERFLOW) ReportOverflowElsewhere(pointers);
  ReportStructured(pointers, true);
  return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  CCrashHandler* h = g_crashHandler.load();
  if (!h) return EXCEPTION_EXECUTE_HANDLER;
  if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) ReportOverflowElsewhere(pointers);
  const bool noncontinuable = (pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0;
  ReportStructured(pointers, noncontinuable);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The run-time resets a signal to its default before it calls the handler.
void Reinstall(int number, SignalHandler handler) { signal(number, handler); }

void OnSignal(int number);

void OnFloatSignal(int number, int subcode) {
  CCrashHandler* h = g_crashHandler.load();
  if (h && (ThreadHooks(h) & CRASH_INST_SIGFPE_HANDLER)) {
    CrashExceptionInfo info = NewInfo(CRASH_TYPE_SIGFPE);
    info.fpeSubcode = static_cast<uint32_t>(subcode);
    if (Report(info, nullptr, false)) {
      Reinstall(number, reinterpret_cast<SignalHandler>(reinterpret_cast<void (*)()>(&OnFloatSignal)));
      return;
    }
  }
  const int i = SignalIndex(number);
  signal(number, i >= 0 && g_previousSignals[i] ? g_previousSignals[i] : SIG_DFL);
  raise(number);
}

void OnSignal(int number) {
  CCrashHandler* h = g_crashHandler.load();
  int32_t type = -1;
  if (h) {
    const uint32_t mask = h->HandlerMask();
    const uint32_t hooks = ThreadHooks(h);
    switch (number) {
      case SIGSEGV:
        type = (hooks & CRASH_INST_SIGSEGV_HANDLER) ? CRASH_TYPE_SIGSEGV : -1;
        break;
      case SIGILL:
        type = (hooks & CRASH_INST_SIGILL_HANDLER) ? CRASH_TYPE_SIGILL : -1;
        break;
      case SIGABRT:
        type = (mask & CRASH_INST_SIGABRT_HANDLER) ? CRASH_TYPE_SIGABRT : -1;
        break;
      case SIGINT:
        type = (mask & CRASH_INST_SIGINT_HANDLER) ? CRASH_TYPE_SIGINT : -1;
        break;
      case SIGTERM:
        type = (mask & CRASH_INST_TERMINATE_HANDLER) ? CRASH_TYPE_SIGTERM : -1;
        break;
      default:
        break;
    }
  }
  if (type >= 0) {
    CrashExceptionInfo info = NewInfo(type);
    if (Report(info, nullptr, false)) {
      Reinstall(number, &OnSignal);
      return;
    }
  }
  // No report here: what was there before follows, the default included.
  const int i = SignalIndex(number);
  signal(number, i >= 0 && g_previousSignals[i] ? g_previousSignals[i] : SIG_DFL);
  raise(number);
}

void __cdecl OnRuntimePureCall() { OnPureCall(); }

void __cdecl OnRuntimeInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                       unsigned line, uintptr_t) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 on Windows");
  OnInvalidParameter(reinterpret_cast<const char16_t*>(expression), reinterpret_cast<const char16_t*>(function),
                     reinterpret_cast<const char16_t*>(file), line);
}

}  // namespace

bool CCrashHandler::InstallProcessHooks() {
  const uint32_t mask = HandlerMask();
  savedTerminate = nullptr;
  savedNewHandler = nullptr;
  g_previousFilter = nullptr;
  g_previousPureCall = nullptr;
  g_previousInvalidParameter = nullptr;
  for (SignalHandler& s : g_previousSignals) s = nullptr;

  if (mask & CRASH_INST_SEH_EXCEPTION_HANDLER) g_previousFilter = SetUnhandledExceptionFilter(&OnUnhandledException);
  // Hardware faults for the filter and for the threads' SIGFPE hooks alike.
  g_vectored = AddVectoredExceptionHandler(1, &OnVectoredException);
  // The run-time's messages go to standard error, never into a box.
  _set_error_mode(_OUT_TO_STDERR);
  if (mask & CRASH_INST_PURE_CALL_HANDLER) {
    g_pureCallHook = &OnPureCall;
    using Setter = PureCallHandler(__cdecl*)(PureCallHandler);
    if (auto set = RuntimeFunction<Setter>("_set_purecall_handler")) g_previousPureCall = set(&OnRuntimePureCall);
  }
  if (mask & CRASH_INST_NEW_OPERATOR_ERROR_HANDLER) {
    // malloc failures reach the new-handler too where the run-time has the mode.
    using Mode = int(__cdecl*)(int);
    if (auto set = RuntimeFunction<Mode>("_set_new_mode")) set(1);
    savedNewHandler = std::set_new_handler(&OnNewHandler);
  }
  if (mask & CRASH_INST_INVALID_PARAMETER_HANDLER) {
    g_invalidParameterHook = &OnInvalidParameter;
    using Setter = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
    if (auto set = RuntimeFunction<Setter>("_set_invalid_parameter_handler"))
      g_previousInvalidParameter = set(&OnRuntimeInvalidParameter);
  }
  if (mask & CRASH_INST_SIGABRT_HANDLER) {
    using Behavior = unsigned(__cdecl*)(unsigned, unsigned);
    if (auto set = RuntimeFunction<Behavior>("_set_abort_behavior")) set(_CALL_REPORTFAULT, _CALL_REPORTFAULT);
  }
  // The fault signals carry the threads' hooks, so they are always taken; a
  // thread without hooks gets what was there before.
  for (int i = 0; i < kSignalCount; ++i) {
    const int number = kSignals[i];
    const bool wanted = (number == SIGABRT && (mask & CRASH_INST_SIGABRT_HANDLER)) ||
                        (number == SIGINT && (mask & CRASH_INST_SIGINT_HANDLER)) ||
                        (number == SIGTERM && (mask & CRASH_INST_TERMINATE_HANDLER)) || number == SIGSEGV ||
                        number == SIGFPE || number == SIGILL;
    if (!wanted) continue;
    SignalHandler handler =
        number == SIGFPE ? reinterpret_cast<SignalHandler>(reinterpret_cast<void (*)()>(&OnFloatSignal)) : &OnSignal;
    SignalHandler previous = signal(number, handler);
    if (previous == SIG_ERR) return false;
    g_previousSignals[i] = previous;
  }
  // terminate is one hook for the process here; the thread table says whose it is.
  savedTerminate = std::set_terminate(&OnTerminate);
  processHooksSet = true;
  return true;
}

void CCrashHandler::RemoveProcessHooks() {
  if (!processHooksSet) return;
  if (g_previousFilter) SetUnhandledExceptionFilter(g_previousFilter);
  if (g_vectored) RemoveVectoredExceptionHandler(g_vectored);
  g_vectored = nullptr;
  for (int i = 0; i < kSignalCount; ++i)
    if (g_previousSignals[i]) signal(kSignals[i], g_previousSignals[i]);
  const uint32_t mask = HandlerMask();
  if (mask & CRASH_INST_PURE_CALL_HANDLER) {
    using Setter = PureCallHandler(__cdecl*)(PureCallHandler);
    if (auto set = RuntimeFunction<Setter>("_set_purecall_handler")) set(g_previousPureCall);
  }
  if (mask & CRASH_INST_INVALID_PARAMETER_HANDLER) {
    using Setter = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);
    if (auto set = RuntimeFunction<Setter>("_set_invalid_parameter_handler")) set(g_previousInvalidParameter);
  }
  g_pureCallHook = nullptr;
  g_invalidParameterHook = nullptr;
  if (mask & CRASH_INST_NEW_OPERATOR_ERROR_HANDLER) std::set_new_handler(savedNewHandler);
  std::set_terminate(savedTerminate);
  processHooksSet = false;
}

}  // namespace crash
