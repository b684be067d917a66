#pragma once
// The process's own memory.
namespace platform {

// Gives the heap's free pages back to the system, after a large part of the
// program's memory has been released.
void ReleaseFreeMemory();

}  // namespace platform
