// The block the session asks for: what its nftables ruleset and its Windows
// filters let out.
#include "block_rules.h"
#include "firewall.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using qvtest::Has;
using qvtest::Rules;
using tunneld::BlockRules;

namespace {

TEST(Block, RulesetLetsOutOnlyTheTunnelOpenVpnsMarkedPacketsAndTheBasics) {
  const std::string v4 = tunneld::NftRuleset(Rules("198.51.100.11", 1194, true, false));
  EXPECT_TRUE(Has(v4, "oifname \"lo\" accept"));
  EXPECT_TRUE(Has(v4, "oifname \"qvtun0\" accept"));
  EXPECT_TRUE(Has(v4, "meta mark 0x51760 ip daddr 198.51.100.11 udp dport 1194 accept"));
  EXPECT_TRUE(Has(v4, "udp sport 68 udp dport 67 accept"));
  EXPECT_TRUE(Has(v4, "nd-neighbor-solicit"));
  EXPECT_FALSE(Has(v4, "10.0.0.0/8"));
  EXPECT_FALSE(Has(v4, "dport 53"));
  // Refused at once, the reset before the catch-all.
  EXPECT_LT(v4.find("reject with tcp reset"), v4.find("reject with icmpx admin-prohibited"));
  // Replacing is one transaction that works whether the table exists or not.
  EXPECT_EQ(0u, v4.find("add table inet quorvanta\ndelete table inet quorvanta\ntable inet quorvanta {"));

  const std::string v6 = tunneld::NftRuleset(Rules("2001:db8::5", 443, false, true));
  EXPECT_TRUE(Has(v6, "meta mark 0x51760 ip6 daddr 2001:db8::5 tcp dport 443 accept"));
  EXPECT_TRUE(Has(v6, "ip daddr { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, 224.0.0.0/4"));
  EXPECT_TRUE(Has(v6, "ip6 daddr { fc00::/7, fe80::/10, ff00::/8 } accept"));

  BlockRules resolving = Rules("198.51.100.11", 1194, true, false);
  resolving.resolving = true;
  resolving.resolverUid = 991;
  EXPECT_TRUE(Has(tunneld::NftRuleset(resolving), "meta skuid { 0, 991 } udp dport 53 accept"));
}

TEST(Block, OnlyNumericAddressesReachTheRuleset) {
  for (const char* good : {"198.51.100.11", "0.0.0.0", "2001:db8::1", "::ffff:192.0.2.1"})
    EXPECT_TRUE(tunneld::IsNumericAddress(good)) << good;
  for (const char* bad : {"", "vpn.example", "1.2.3", "1.2.3.4.5", "256.1.1.1", " 1.2.3.4", "1.2.3.4;", "fe80::1%eth0",
                          "1.2.3.4 } accept", "dead", "+1.2.3.4"})
    EXPECT_FALSE(tunneld::IsNumericAddress(bad)) << bad;
  // A server that is no address lets nothing of OpenVPN's out rather than anything else.
  const std::string text = tunneld::NftRuleset(Rules("1.2.3.4 } ; flush ruleset ; {", 1194, true, false));
  EXPECT_FALSE(Has(text, "flush"));
  EXPECT_FALSE(Has(text, "meta mark"));
}

TEST(Block, WindowsFiltersPermitAboveABlockAtEveryLayer) {
  const auto filters = tunneld::WfpFilters(Rules("198.51.100.11", 1194, true, true));
  for (const char* layer : {"connect4", "connect6", "recv4", "recv6"}) {
    int blocks = 0;
    unsigned lowestPermit = 100;
    for (const auto& f : filters) {
      if (f.layer != layer) continue;
      if (f.action == "block") {
        ++blocks;
        EXPECT_EQ("all", f.match);
        EXPECT_EQ(0u, f.weight);
      } else if (f.weight < lowestPermit) {
        lowestPermit = f.weight;
      }
    }
    EXPECT_EQ(1, blocks) << layer;
    EXPECT_GT(lowestPermit, 0u) << layer;
  }
  int app = 0;
  for (const auto& f : filters) {
    if (f.match.rfind("app ", 0) == 0) {
      ++app;
      EXPECT_EQ("connect4", f.layer);
      EXPECT_EQ("app 198.51.100.11 udp 1194", f.match);
    }
  }
  EXPECT_EQ(1, app);
  for (const auto& f : tunneld::WfpFilters(Rules("198.51.100.11", 1194, true, false)))
    EXPECT_NE(0u, f.match.rfind("lan ", 0)) << f.layer << " " << f.match;
}

}  // namespace
