#pragma once
// Between the portable handlers and the system's hooks.
#include <cstdint>

#include "crash/crash_handler.h"

namespace crash {

// Steps 1 to 6 of every handler: one report under the report lock, then the
// end of the process unless a callback lets it go on (never when alwaysEnd).
// false when there is no handler or the report lets the process go on.
// Async-signal-safe. signal is the delivered signal, or nullptr for a hook.
bool Report(CrashExceptionInfo& info, const platform::SignalEvent* signal, bool alwaysEnd);
// A zeroed record of the type, sized.
CrashExceptionInfo NewInfo(int32_t type);
// The hook bits the calling thread installed. Async-signal-safe.
uint32_t ThreadHooks(CCrashHandler* h);

// Set while the process hooks are in: the program's own calls reach them.
extern void (*g_pureCallHook)();
extern void (*g_invalidParameterHook)(const char16_t*, const char16_t*, const char16_t*, unsigned);

}  // namespace crash
