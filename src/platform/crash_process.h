#pragma once
// Process facilities of crash reporting: ids, the sender's start and its end,
// the executable's path, the debug-info library probe, GUIDs. Functions marked
// async-signal-safe run on a crashing thread.
#include <cstddef>

namespace platform {

// Async-signal-safe.
int CurrentThreadId();
int CurrentProcessId();

// Starts path with argv (null-terminated) and the process's environment, the
// signal mask cleared and no descriptor past the standard three; vfork + execve. The child's pid, or -1.
// Async-signal-safe.
int SpawnSignalSafe(const char* path, char* const argv[]);
// true while the child has not ended; reaps it once it has. Async-signal-safe.
bool ChildRunning(int pid);
// Waits (blocking) for the child's end and reaps it.
void ReapChild(int pid);
// Lets the process pid trace this one under Yama's restricted ptrace. Async-signal-safe.
void AllowTracer(int pid);
// Writes text to standard error. Async-signal-safe.
void WriteStderr(const char* text);
// Milliseconds of a monotonic clock. Async-signal-safe.
long MonotonicMs();

// How this system writes paths and names its programs and the library the
// sender reads debug information with.
extern const char16_t kPathSeparator;
extern const char16_t kExecutableSuffix[];
extern const char16_t kDebugHelpLibrary[];
// How long a crashed process waits for its sender at most: the sender reads
// the living process (a backtrace; on Windows a minidump too) before it lets
// the process go.
extern const int kCrashSenderWaitMs;

// Full path of the running executable; false when unknown.
bool ExecutablePath(char* out, size_t size);
// The user's own data folder ($XDG_DATA_HOME or ~/.local/share; the local
// application-data folder on Windows), made when missing.
bool LocalDataDirectory(char* out, size_t size);
// true when the file exists, is not a directory, and opens for reading.
bool ReadableFile(const char* path);
// Loads a shared library by path (or by name through the system search when
// it has no slash) and unloads it again; true when it loaded.
bool ProbeLibrary(const char* path);
// A random (version 4) UUID as 36 lower-case characters and a terminator.
bool NewGuid(char out[37]);

}  // namespace platform
