#pragma once
// Detached worker threads and plain waits.
namespace platform {

// Starts fn(arg) on a new detached thread; false when no thread could be made.
bool StartDetachedThread(void (*fn)(void*), void* arg);

// Blocks the calling thread for the given milliseconds.
void SleepMs(unsigned ms);

}  // namespace platform
