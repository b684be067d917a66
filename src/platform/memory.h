#pragma once
// The process's own memory.
namespace platform {

// Gives the heap's free pages back to the system, after a large part of the
// program's memory has been released.
void ReleaseFreeMemory();

// Lets go of the loaded code and read-only data (never written, so the same
// as on disk) until it is next used; for a long idle spell.
void ReleaseCodePages();

}  // namespace platform
