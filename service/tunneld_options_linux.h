#pragma once
// The service's command line on Linux.
#include <cstdio>

#include "supervisor.h"

namespace tunneld {

struct ServiceOptions {
  const char* socketPath = nullptr;
  const char* configDir = "/etc/quorvanta";
  const char* openvpn = "/usr/sbin/openvpn";
  const char* dnsHook = "/usr/lib/quorvanta/dns-hook";
  int stopTimeoutMs = kDefaultStopTimeoutMs;
};

void Usage(FILE* to);
// false on an unknown option or a bad value; --help prints the usage and exits.
bool ParseOptions(int argc, char** argv, ServiceOptions* o);
// Drops a DNS hook that is missing or that somebody else could change (with a
// log line); stateDir, the folder of the socket, must be usable in its command.
void CheckDnsHook(ServiceOptions* o, const char* stateDir);

}  // namespace tunneld
