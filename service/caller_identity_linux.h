#pragma once
// Who is on the other end of a service socket connection, by the kernel's word.
#include "caller_identity.h"

namespace tunneld {

// Fills caller from the connection's SO_PEERCRED; false (and a log line) when
// the kernel gives none.
bool PeerIdentity(int fd, CallerIdentity* caller);

}  // namespace tunneld
