#pragma once
// The block's rules as the tests write them.
#include <cstdio>
#include <string>

#include "firewall.h"

namespace qvtest {

inline tunneld::BlockRules Rules(const char* server, unsigned short port, bool udp, bool lan) {
  tunneld::BlockRules rules;
  std::snprintf(rules.server, sizeof rules.server, "%s", server);
  rules.port = port;
  rules.udp = udp;
  rules.allowLan = lan;
  return rules;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace qvtest
