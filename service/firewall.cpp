#include "firewall.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/registry.h"

namespace tunneld {

namespace {

bool ReadDword(platform::RegKey* key, const char* name) {
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (!platform::RegQueryValue(key, name, &type, &value, &size)) return false;
  return type == platform::kRegDword && size == sizeof value && value != 0;
}

// The LAN: private, link-local and multicast ranges of both families.
constexpr const char* kLan4[] = {"10.0.0.0/8",     "172.16.0.0/12", "192.168.0.0/16",
                                 "169.254.0.0/16", "224.0.0.0/4",   "255.255.255.255/32"};
constexpr const char* kLan6[] = {"fc00::/7", "fe80::/10", "ff00::/8"};

void Append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& out, const char* format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n > 0) out.append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

std::string Joined(const char* const* items, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += items[i];
  }
  return out;
}

}  // namespace

BlockSettings ReadBlockSettings() {
  BlockSettings settings;
  platform::ScopedRegKey key(platform::RegOpenKey("SOFTWARE\\Quorvanta", platform::RegAccess::Read));
  if (!key) return settings;
  settings.block = ReadDword(key.get(), "block_outside_tunnel");
  settings.allowLan = ReadDword(key.get(), "allow_lan");
  return settings;
}

bool IsNumericAddress(const char* text) {
  if (!text || !*text || std::strlen(text) >= sizeof BlockRules::server) return false;
  if (std::strchr(text, ':')) {
    // IPv6: hex digits, colons and a dotted tail; never a scope ("%eth0").
    for (const char* p = text; *p; ++p) {
      const char c = *p;
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') return false;
    }
    return true;
  }
  for (const char* p = text; *p; ++p) {
    if (*p != '.' && (*p < '0' || *p > '9')) return false;
  }
  unsigned parts[4];
  char end;
  return std::sscanf(text, "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &end) == 4 &&
         parts[0] < 256 && parts[1] < 256 && parts[2] < 256 && parts[3] < 256;
}

std::string NftRuleset(const BlockRules& rules) {
  std::string out =
      "add table inet quorvanta\n"
      "delete table inet quorvanta\n"
      "table inet quorvanta {\n"
      "  chain output {\n"
      "    type filter hook output priority filter; policy accept;\n"
      "    oifname \"lo\" accept\n";
  Append(out, "    oifname \"%s\" accept\n", kTunnelDevice);
  if (IsNumericAddress(rules.server) && rules.port != 0) {
    Append(out, "    meta mark 0x%x %s daddr %s %s dport %u accept\n", kOpenVpnMark,
           std::strchr(rules.server, ':') ? "ip6" : "ip", rules.server, rules.udp ? "udp" : "tcp",
           static_cast<unsigned>(rules.port));
  }
  out +=
      "    udp sport 68 udp dport 67 accept\n"
      "    udp sport 546 udp dport 547 accept\n"
      "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept\n";
  if (rules.allowLan) {
    Append(out, "    ip daddr { %s } accept\n", Joined(kLan4, std::size(kLan4)).c_str());
    Append(out, "    ip6 daddr { %s } accept\n", Joined(kLan6, std::size(kLan6)).c_str());
  }
  if (rules.resolving) {
    char owners[48];
    if (rules.resolverUid > 0)
      std::snprintf(owners, sizeof owners, "{ 0, %lld }", rules.resolverUid);
    else
      std::snprintf(owners, sizeof owners, "0");
    Append(out, "    meta skuid %s udp dport 53 accept\n", owners);
    Append(out, "    meta skuid %s tcp dport 53 accept\n", owners);
  }
  out +=
      "    meta l4proto tcp reject with tcp reset\n"
      "    reject with icmpx admin-prohibited\n"
      "  }\n"
      "}\n";
  return out;
}

std::string NftRemoval() {
  return "add table inet quorvanta\n"
         "delete table inet quorvanta\n";
}

std::vector<WfpFilter> WfpFilters(const BlockRules& rules) {
  std::vector<WfpFilter> out;
  const bool v6 = std::strchr(rules.server, ':') != nullptr;
  for (const char* family : {"4", "6"}) {
    const std::string connect = std::string("connect") + family;
    const std::string recv = std::string("recv") + family;
    for (const std::string& layer : {connect, recv}) {
      // Permits weigh more than the blocks beneath them in our sublayer.
      out.push_back({layer, "permit", "loopback", 15});
      out.push_back({layer, "permit", "tunnel", 15});
      out.push_back({layer, "permit", "tunnel adapters", 15});
      out.push_back({layer, "permit", "dhcp", 15});
      if (layer == connect && (family[0] == '6') == v6 && IsNumericAddress(rules.server)) {
        char match[128];
        std::snprintf(match, sizeof match, "app %s %s %u", rules.server, rules.udp ? "udp" : "tcp",
                      static_cast<unsigned>(rules.port));
        out.push_back({layer, "permit", match, 14});
      }
      if (family[0] == '6') out.push_back({layer, "permit", "neighbour discovery", 15});
      if (rules.allowLan) {
        if (family[0] == '4') {
          for (const char* range : kLan4) out.push_back({layer, "permit", std::string("lan ") + range, 13});
        } else {
          for (const char* range : kLan6) out.push_back({layer, "permit", std::string("lan ") + range, 13});
        }
      }
      if (rules.resolving && layer == connect) out.push_back({layer, "permit", "dns of the service", 12});
      out.push_back({layer, "block", "all", 0});
    }
  }
  return out;
}

}  // namespace tunneld
