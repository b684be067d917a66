#pragma once
// Where a Windows-style object name ("Global\X", "Local\X", "X") lives under
// /dev/shm. Shared by the named events and the named shared memory.
#include <cstddef>

namespace platform {

// "Global\X" -> /quorvanta<ns>-global-X (world-accessible); "Local\X" or "X" ->
// /quorvanta<ns>-<uid>-X, where <ns> is QUORVANTA_OBJECT_NAMESPACE (keeps test
// runs apart). false for an empty base, a base with a slash, or a too-long name.
// Async-signal-safe: no allocation, no lock (glibc's getenv only reads environ).
bool ShmObjectName(const char* name, char* out, size_t size, bool* global);

}  // namespace platform
