#pragma once
// The open client connections of the service socket. A client writes its
// request and closes; nothing written is the availability probe. Connections
// are served side by side, so a client that stalls holds only its own slot
// until its deadline.
#include <poll.h>

#include <cstddef>

#include "caller_identity.h"
#include "request_validator.h"
#include "supervisor.h"

namespace tunneld {

struct Connection {
  int fd = -1;
  CallerIdentity caller;
  long deadline = 0;  // ms on the monotonic clock
  size_t size = 0;
  unsigned char buf[kMaxRequestSize + 1];
};

// Takes a new connection whose caller is known: one that has written and
// closed already is served at once; one still open takes a slot. One caller
// holds at most kMaxPerUser slots; when all are taken the oldest gives way.
void Admit(int fd, const CallerIdentity& caller);

// Adds the open connections to p (room for kMaxConnections more) and notes
// them in polled; gives how many, and in waitMs the time to the nearest
// deadline (-1 when none is open).
int PollOpenConnections(pollfd* p, Connection** polled, int* waitMs);
// Reads from the connections poll found ready, then turns away those past
// their deadline.
void ServeConnections(const pollfd* p, Connection* const* polled, int count);

}  // namespace tunneld
