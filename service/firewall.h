#pragma once
// The block that keeps every other program's traffic inside the tunnel while
// a session lives: nothing leaves but through the tunnel device, OpenVPN's own
// packets to the current server, loopback, DHCP and neighbour discovery, and
// the LAN when the machine allows it. Blocked traffic is refused at once.
// nftables on Linux, the Windows Filtering Platform on Windows.
#include <cstddef>
#include <string>
#include <vector>

namespace tunneld {

// The machine's settings, read at each request. Absent values are 0, so a
// service started by hand or by a test never blocks the machine it runs on.
struct BlockSettings {
  bool block = false;     // "block_outside_tunnel"
  bool allowLan = false;  // "allow_lan"
};
BlockSettings ReadBlockSettings();

struct BlockRules {
  bool allowLan = false;
  // The current request's server, numeric, and how OpenVPN reaches it.
  char server[64] = {};
  unsigned short port = 0;
  bool udp = true;
  // While the service resolves a server's name with the block on: DNS sent by
  // root and by the system's resolver (uid, -1 when it has none) may leave.
  bool resolving = false;
  long long resolverUid = -1;
};

// OpenVPN's packets carry this mark, set by the service on its command line:
// setting a mark needs CAP_NET_ADMIN, so no user program can forge it.
inline constexpr unsigned kOpenVpnMark = 0x51760;
// The tunnel device's name while a block is in force (Linux).
inline constexpr const char* kTunnelDevice = "qvtun0";

// Whether text is a numeric IPv4 or IPv6 address (no scope, no name).
bool IsNumericAddress(const char* text);

// Resolves host (a name or an address) for OpenVPN's protocol into a
// numeric address; false (and a log line) when it cannot.
bool ResolveServer(const char* host, const char* port, bool udp, char* out, size_t outSize);

// The user the system's resolver runs as (systemd-resolved), -1 when none.
long long ResolverUid();

// The ruleset text for nftables: one transaction that creates or replaces our
// table (Linux; for the unit tests).
std::string NftRuleset(const BlockRules& rules);
// The transaction that removes our table, whether it exists or not.
std::string NftRemoval();

// One filter the Windows backend asks for, in the form its tests compare.
struct WfpFilter {
  std::string layer;   // "connect4", "connect6", "recv4", "recv6"
  std::string action;  // "permit" or "block"
  std::string match;   // "app ...", "tunnel", "tunnel adapters", "loopback", "dhcp", "lan 10.0.0.0/8", "all", ...
  unsigned weight = 0;
};
// The filters for rules and the app id (OpenVPN's program) they permit.
std::vector<WfpFilter> WfpFilters(const BlockRules& rules);

class Firewall {
 public:
  Firewall() = default;
  ~Firewall();
  Firewall(const Firewall&) = delete;
  Firewall& operator=(const Firewall&) = delete;

  // Removes a block that a killed service left behind. Nothing is saved, so a
  // reboot never starts blocked; this covers a service restarted without one.
  static void RemoveLeftovers();

  // Puts rules in force, replacing the ones in force, as one change.
  // openvpn is OpenVPN's program (Windows permits its packets by it).
  bool Apply(const BlockRules& rules, const char* openvpn);
  // Lifts the block; nothing when none is in force.
  void Remove();
  bool Active() const { return active_; }

 private:
  bool active_ = false;
  void* engine_ = nullptr;                   // the filtering engine's session (Windows)
  std::vector<unsigned long long> filters_;  // the filters in force there
};

}  // namespace tunneld
