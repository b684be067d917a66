#include "platform/signal_handlers.h"

#include <fenv.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

namespace platform {

namespace {

static_assert(sizeof(struct sigaction) <= sizeof(SavedSignalAction::raw));

constexpr size_t kAltStackSize = 256 * 1024;  // the report step runs on it
SignalDispatcher g_dispatchers[kCrashSignalCount];

int Number(CrashSignal signal) {
  switch (signal) {
    case CrashSignal::Segv:
      return SIGSEGV;
    case CrashSignal::Bus:
      return SIGBUS;
    case CrashSignal::Fpe:
      return SIGFPE;
    case CrashSignal::Ill:
      return SIGILL;
    case CrashSignal::Abrt:
      return SIGABRT;
    case CrashSignal::Int:
      return SIGINT;
    case CrashSignal::Term:
      return SIGTERM;
  }
  return 0;
}

uintptr_t StackPointer(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  if (!uc) return 0;
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
  return 0;
#endif
}

int FloatSubcode(int code) {
  switch (code) {
    case FPE_FLTINV:
      return 0x81;
    case FPE_FLTDIV:
      return 0x83;
    case FPE_FLTOVF:
      return 0x84;
    case FPE_FLTUND:
      return 0x85;
    case FPE_FLTRES:
      return 0x86;
    default:
      return 0x8c;
  }
}

template <CrashSignal S>
void Dispatch(int number, siginfo_t* info, void* context) {
  SignalEvent event{};
  event.signal = S;
  event.number = number;
  event.code = info->si_code;
  event.context = context;
  event.raw = info;
  const bool fault = S == CrashSignal::Segv || S == CrashSignal::Bus || S == CrashSignal::Fpe || S == CrashSignal::Ill;
  // Kernel fault codes are positive; SI_KERNEL (a terminal's ^C) is too, so it is looked at first.
  event.hardware = fault && info->si_code > 0 && info->si_code != SI_KERNEL;
  if (info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL || info->si_code == SI_SIGIO) {
    event.senderPid = info->si_pid;
    event.fromOutside = info->si_pid != getpid();
  } else if (info->si_code == SI_KERNEL) {
    event.fromOutside = true;
  }
  if (fault) event.address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (S == CrashSignal::Segv && event.hardware) {
    // A fault just below (or at) the stack pointer is the stack running out.
    const uintptr_t sp = StackPointer(context);
    event.stackOverflow = sp != 0 && event.address + 256 * 1024 >= sp && event.address < sp + 4096;
  }
  if (S == CrashSignal::Fpe) {
    event.floatFault = event.hardware && info->si_code != FPE_INTDIV && info->si_code != FPE_INTOVF;
    event.floatSubcode = event.hardware ? FloatSubcode(info->si_code) : 0x8c;
  }
  SignalDispatcher dispatcher = g_dispatchers[static_cast<int>(S)];
  if (dispatcher) dispatcher(event);
}

using Handler = void (*)(int, siginfo_t*, void*);

Handler HandlerFor(CrashSignal signal) {
  switch (signal) {
    case CrashSignal::Segv:
      return &Dispatch<CrashSignal::Segv>;
    case CrashSignal::Bus:
      return &Dispatch<CrashSignal::Bus>;
    case CrashSignal::Fpe:
      return &Dispatch<CrashSignal::Fpe>;
    case CrashSignal::Ill:
      return &Dispatch<CrashSignal::Ill>;
    case CrashSignal::Abrt:
      return &Dispatch<CrashSignal::Abrt>;
    case CrashSignal::Int:
      return &Dispatch<CrashSignal::Int>;
    case CrashSignal::Term:
      return &Dispatch<CrashSignal::Term>;
  }
  return nullptr;
}

void Unblock(int number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

bool InstallSignalDispatcher(CrashSignal signal, SignalDispatcher dispatcher, SavedSignalAction* previous) {
  g_dispatchers[static_cast<int>(signal)] = dispatcher;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = HandlerFor(signal);
  sigemptyset(&action.sa_mask);
  // SA_NODEFER: a fault inside the report itself reaches the handler again
  // (the report lock is recursive) instead of killing the process silently.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  struct sigaction old;
  if (sigaction(Number(signal), &action, &old) != 0) return false;
  if (previous) {
    std::memcpy(previous->raw, &old, sizeof old);
    previous->saved = true;
  }
  return true;
}

bool RestoreSignalAction(CrashSignal signal, const SavedSignalAction& previous) {
  if (!previous.saved) return true;
  struct sigaction old;
  std::memcpy(&old, previous.raw, sizeof old);
  return sigaction(Number(signal), &old, nullptr) == 0;
}

void ChainSignal(const SignalEvent& event, const SavedSignalAction& previous) {
  struct sigaction old;
  if (previous.saved) {
    std::memcpy(&old, previous.raw, sizeof old);
  } else {
    std::memset(&old, 0, sizeof old);
    old.sa_handler = SIG_DFL;
  }
  if (old.sa_flags & SA_SIGINFO) {
    if (old.sa_sigaction) old.sa_sigaction(event.number, static_cast<siginfo_t*>(event.raw), event.context);
    return;
  }
  if (old.sa_handler == SIG_IGN) return;
  if (old.sa_handler != SIG_DFL) {
    old.sa_handler(event.number);
    return;
  }
  // The default action: a fault faults again on return; a raise is repeated.
  struct sigaction def;
  std::memset(&def, 0, sizeof def);
  def.sa_handler = SIG_DFL;
  sigemptyset(&def.sa_mask);
  sigaction(event.number, &def, nullptr);
  if (event.hardware) return;
  Unblock(event.number);
  syscall(SYS_tgkill, getpid(), static_cast<pid_t>(syscall(SYS_gettid)), event.number);
}

int RaiseCrashSignal(CrashSignal signal) { return raise(Number(signal)); }

bool InstallAltStack(AltStack* stack) {
  if (stack->installed) return true;
  void* p = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (p == MAP_FAILED) return false;
  stack_t ss{};
  ss.ss_sp = p;
  ss.ss_size = kAltStackSize;
  ss.ss_flags = 0;
  stack_t old{};
  if (sigaltstack(&ss, &old) != 0) {
    munmap(p, kAltStackSize);
    return false;
  }
  stack->previousEnabled = !(old.ss_flags & SS_DISABLE);
  stack->previousBase = old.ss_sp;
  stack->previousSize = old.ss_size;
  stack->base = p;
  stack->size = kAltStackSize;
  stack->installed = true;
  return true;
}

void RemoveAltStack(AltStack* stack) {
  if (!stack->installed) return;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack->base && !(current.ss_flags & SS_ONSTACK)) {
    stack_t back{};
    if (stack->previousEnabled) {
      back.ss_sp = stack->previousBase;
      back.ss_size = stack->previousSize;
    } else {
      back.ss_flags = SS_DISABLE;
    }
    sigaltstack(&back, nullptr);
    munmap(stack->base, stack->size);
  }
  // A stack that is not the caller's current one stays mapped: its thread may still use it.
  stack->base = nullptr;
  stack->size = 0;
  stack->installed = false;
}

static_assert(sizeof(ucontext_t) <= kContextStorageSize);

bool CaptureContext(void* storage) { return getcontext(static_cast<ucontext_t*>(storage)) == 0; }

void ExitNow(int code) { _exit(code); }

void TrapFloatDivide() { feenableexcept(FE_DIVBYZERO); }

}  // namespace platform
