// Linux half of the block: one nftables table of our own ("inet quorvanta"),
// made, changed and deleted each as one transaction through libnftables.
#include <netdb.h>
#include <pwd.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "firewall.h"
#include "supervisor.h"

namespace tunneld {

namespace {

// Runs one transaction; nftables applies all of it or none.
bool Run(const std::string& commands, const char* what) {
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  if (!context) {
    Log("cannot %s: nftables is not available", what);
    return false;
  }
  nft_ctx_buffer_error(context);
  const bool ok = nft_run_cmd_from_buffer(context, commands.c_str()) == 0;
  if (!ok) {
    const char* error = nft_ctx_get_error_buffer(context);
    char shown[600];
    std::snprintf(shown, sizeof shown, "%s", error ? error : "");
    // One line in the log: nftables writes its errors over several.
    for (char* p = shown; *p; ++p) {
      if (*p == '\n') *p = ' ';
    }
    Log("cannot %s: %s", what, shown);
  }
  nft_ctx_free(context);
  return ok;
}

}  // namespace

Firewall::~Firewall() { Remove(); }

void Firewall::RemoveLeftovers() { Run(NftRemoval(), "remove a block left by an earlier service"); }

bool Firewall::Apply(const BlockRules& rules, const char*) {
  if (!Run(NftRuleset(rules), "put the block outside the tunnel in force")) return false;
  active_ = true;
  return true;
}

void Firewall::Remove() {
  if (!active_) return;
  if (Run(NftRemoval(), "lift the block outside the tunnel")) active_ = false;
}

long long ResolverUid() {
  // getpwnam_r: the request loop is not the only thread of the service.
  passwd entry;
  passwd* found = nullptr;
  char buffer[1024];
  if (getpwnam_r("systemd-resolve", &entry, buffer, sizeof buffer, &found) != 0 || !found) return -1;
  return found->pw_uid;
}

bool ResolveServer(const char* host, const char* port, bool udp, char* out, size_t outSize) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = udp ? SOCK_DGRAM : SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host, port, &hints, &found);
  if (error != 0 || !found) {
    Log("cannot resolve the server %s: %s", host, gai_strerror(error));
    return false;
  }
  const int named =
      getnameinfo(found->ai_addr, found->ai_addrlen, out, static_cast<socklen_t>(outSize), nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (named != 0 || !IsNumericAddress(out)) {
    Log("cannot resolve the server %s: no usable address", host);
    return false;
  }
  return true;
}

}  // namespace tunneld
