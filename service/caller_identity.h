#pragma once
// Who is on the other end of a service connection, in the same form on every
// system, and the rules the service applies to callers.
#include <cstddef>

namespace tunneld {

struct CallerIdentity {
  // How the log names the caller and how two callers are compared: "uid 1000"
  // or "user S-1-5-21-...".
  char name[200] = {};
  // root, LocalSystem or an administrator: may replace anyone's OpenVPN.
  bool privileged = false;
  // The caller's user id where the system numbers its users (Linux), else -1.
  long long uid = -1;
  // The process that connected, 0 when unknown.
  long pid = 0;
};

bool SameCaller(const CallerIdentity& a, const CallerIdentity& b);

// Whether caller may stop the OpenVPN that runs for owner to start its own:
// one user never ends another user's tunnel.
bool MayReplace(const CallerIdentity& caller, const CallerIdentity& owner);

// Writes request bytes in printable form for the log (escapes, cut at 300
// bytes), always NUL-terminated within outSize.
void Printable(const unsigned char* data, size_t size, char* out, size_t outSize);

}  // namespace tunneld
