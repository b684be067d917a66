#pragma once
// Where a Windows-style object name ("Global\X", "Local\X", "X") lives on
// Linux. Shared by the named events, the named shared memory and the sender.
#include <cstddef>

namespace platform {

enum class ObjectKind { Event, Memory };

// "Global\X" -> /dev/shm/quorvanta<ns>-global-X, shared with every user (events
// only). "Local\X" or "X" -> <runtime directory>/quorvanta<ns>-X for an event,
// .../quorvanta<ns>-mem-X for shared memory: in the user's private runtime
// directory, where no stranger can see or plant a name. <ns> is
// QUORVANTA_OBJECT_NAMESPACE (keeps test runs apart). false for an empty base,
// a base with a slash, a too-long name, or no private runtime directory.
// Async-signal-safe once RuntimeDirectory() has been called (glibc's getenv
// only reads environ).
bool ObjectPath(const char* name, ObjectKind kind, char* out, size_t size, bool* global);

// A fresh name for a temporary object beside path: ".quorvanta-new-" and 16
// random hex digits in path's folder. false when it does not fit.
bool TemporaryObjectPath(const char* path, char* out, size_t size);

// Removes the shared memory that dead earlier runs of this user left in the
// runtime directory (a live object is locked by its creator). Once a process.
void RemoveAbandonedSharedMemory();

}  // namespace platform
