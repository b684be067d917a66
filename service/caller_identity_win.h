#pragma once
// Who is on the other end of a pipe connection.
#include "caller_identity.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>

namespace tunneld {

// Who holds the connection, by its process: good enough to count the
// connections each caller holds open, never to decide what a request may do
// (the process id may be reused by then).
bool CountingIdentity(HANDLE pipe, CallerIdentity* caller);

// The caller of a request, by impersonating the client: the system keeps the
// client's own token with the connection. Possible once its data has been read.
bool IdentifyCaller(HANDLE pipe, CallerIdentity* caller);

}  // namespace tunneld
