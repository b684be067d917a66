#include "platform/sockets.h"

namespace platform {

// POSIX sockets are part of the C library: nothing to start.
bool StartSockets() { return true; }
void StopSockets() {}

}  // namespace platform
