// nftables itself takes the block's ruleset as one transaction, in a network
// namespace of its own (never the machine's).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "block_rules.h"
#include "firewall.h"

namespace {

using qvtest::Has;
using qvtest::Rules;
using tunneld::BlockRules;

TEST(Block, NftablesTakesTheRulesetAndItsRemovalInAPrivateNamespace) {
  if (geteuid() != 0 || std::system("command -v nft >/dev/null && unshare -n true 2>/dev/null") != 0)
    GTEST_SKIP() << "needs root, nft and unshare";
  char dir[] = "/tmp/qv-nft-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string base = dir;
  BlockRules rules = Rules("2001:db8::5", 1194, true, true);
  rules.resolving = true;
  std::ofstream(base + "/apply") << tunneld::NftRuleset(rules);
  std::ofstream(base + "/again") << tunneld::NftRuleset(Rules("198.51.100.12", 443, false, false));
  std::ofstream(base + "/remove") << tunneld::NftRemoval();
  const std::string script = "cd " + base +
                             " && nft -f remove && nft -f apply && nft -f again && nft list table inet quorvanta > "
                             "listed && nft -f remove && nft -f remove && ! nft list table inet quorvanta 2>/dev/null";
  EXPECT_EQ(0, std::system(("unshare -n sh -c '" + script + "'").c_str()));
  std::ifstream in(base + "/listed");
  const std::string listed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Has(listed, "198.51.100.12")) << listed;
  EXPECT_FALSE(Has(listed, "2001:db8::5")) << listed;
  std::system(("rm -rf " + base).c_str());
}

}  // namespace
