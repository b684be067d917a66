#pragma once
// The service pipe: every instance made at start, each served by a thread of
// its own for the life of the service.
namespace tunneld {

// Makes every instance of the pipe; false (and a log line) when another
// program already serves the name or it cannot be made.
bool OpenPipe(const char* pipe);
// Starts serving every instance; false (and a log line) when no thread started.
bool ServePipe();
// Closes the instances again (a start that failed after OpenPipe).
void ClosePipe();

}  // namespace tunneld
