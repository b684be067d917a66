#pragma once
// Crash signals: one dispatcher per signal, run with SA_SIGINFO on the
// calling thread's alternate stack, and the previous actions kept to chain to
// or put back. Everything here that a handler calls is async-signal-safe.
#include <cstddef>
#include <cstdint>

namespace platform {

enum class CrashSignal { Segv, Bus, Fpe, Ill, Abrt, Int, Term };
inline constexpr int kCrashSignalCount = 7;

// What a dispatcher is told about one delivered signal.
struct SignalEvent {
  CrashSignal signal;
  int number;        // the system's signal number
  int code;          // si_code
  int senderPid;     // si_pid where the kernel gives one
  bool fromOutside;  // sent by another process or by the kernel (a terminal's ^C)
  bool hardware;     // a fault of the faulting instruction, not a raise
  bool stackOverflow;
  bool floatFault;   // a floating-point exception (FPE_FLT*)
  int floatSubcode;  // the C run-time's _FPE_* value, 0x8c for a raise
  uint64_t address;  // si_addr, 0 if none
  void* context;     // the interrupted thread's context
  void* raw;         // the system's signal information, for chaining
};

using SignalDispatcher = void (*)(const SignalEvent& event);

// Storage for one saved action; opaque to callers.
struct SavedSignalAction {
  alignas(16) unsigned char raw[256];
  bool saved = false;
};

// Installs the dispatcher for a signal (SA_SIGINFO | SA_ONSTACK), keeping the
// previous action in *previous. false when the system refuses.
bool InstallSignalDispatcher(CrashSignal signal, SignalDispatcher dispatcher, SavedSignalAction* previous);
// Puts a saved action back; nothing when none was saved.
bool RestoreSignalAction(CrashSignal signal, const SavedSignalAction& previous);
// Runs what the previous action would have done: its handler, nothing for an
// ignored signal, or the default action (a raised signal is raised again; a
// fault returns and faults again under the default). Async-signal-safe.
void ChainSignal(const SignalEvent& event, const SavedSignalAction& previous);

// Raises the signal on the calling thread; the result of raise().
int RaiseCrashSignal(CrashSignal signal);

// A per-thread alternate signal stack, so a stack overflow can be caught.
struct AltStack {
  void* base = nullptr;
  size_t size = 0;
  bool installed = false;
  // The thread's stack before (a sanitizer's, say), put back on removal.
  void* previousBase = nullptr;
  size_t previousSize = 0;
  bool previousEnabled = false;
};
bool InstallAltStack(AltStack* stack);
// Puts the previous stack back if this one is the thread's current one, then frees it.
void RemoveAltStack(AltStack* stack);

// Room for a snapshot of the calling thread's registers.
inline constexpr size_t kContextStorageSize = 1280;
// Stores the calling thread's registers into storage (kContextStorageSize
// bytes, 16-aligned). Async-signal-safe.
bool CaptureContext(void* storage);

// Ends the process at once with the code: no clean-up, no handlers.
[[noreturn]] void ExitNow(int code);

// Unmasks floating-point division by zero for the calling thread, so that it traps.
void TrapFloatDivide();

}  // namespace platform
