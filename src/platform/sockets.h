#pragma once
// The system's socket library, started and stopped by each thread or program
// that uses it. Starts nest: every successful StartSockets needs one
// StopSockets. Where sockets need no start-up both are no-ops.

namespace platform {

// Starts the socket library (Winsock 2.2 where there is one); false when the
// system cannot provide it. Call StopSockets afterwards even on failure.
bool StartSockets();
void StopSockets();

}  // namespace platform
