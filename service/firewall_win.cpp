// Windows half of the block: placeholder until the filtering engine's session is in.
#include "firewall.h"
#include "supervisor.h"

namespace tunneld {

Firewall::~Firewall() { Remove(); }

void Firewall::RemoveLeftovers() {}

bool Firewall::Apply(const BlockRules&, const char*) {
  Log("cannot block outside the tunnel: not built for this system");
  return false;
}

void Firewall::Remove() { active_ = false; }

long long ResolverUid() { return -1; }

bool ResolveServer(const char* host, const char*, bool, char*, size_t) {
  Log("cannot resolve the server %s", host);
  return false;
}

}  // namespace tunneld
