// The filters the block asks the Windows Filtering Platform for, recorded
// through its call table (Wine has no filtering engine), and their removal.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "firewall.h"
#include "firewall_wfp.h"

namespace tunneld {
// The service's log, as the block writes it.
std::vector<std::string> g_logged;
void Log(const char* format, ...) {
  char line[600];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  g_logged.push_back(line);
}
}  // namespace tunneld

namespace {

using tunneld::BlockRules;

struct Recorded {
  GUID layer;
  FWP_ACTION_TYPE action;
  UINT8 weight;
  std::vector<GUID> fields;
  bool appIdBlob = false;
};

struct Engine {
  std::vector<std::string> calls;
  std::vector<Recorded> filters;
  std::vector<UINT64> deleted;
  bool sessionDynamic = true;
  UINT64 nextId = 100;
  int failFilterAt = -1;  // the add that fails, counted from 0
  int adds = 0;
  std::vector<UINT64> adapters = {0x0006000000001234ull, 0x0047000000005678ull};  // OpenVPN's TAP and DCO
} g;

HANDLE kEngine = reinterpret_cast<HANDLE>(0x5176);
BYTE kBlob[] = {1, 2, 3};
FWP_BYTE_BLOB kAppId = {sizeof kBlob, kBlob};

const tunneld::WfpCalls kRecording = {
    [](HANDLE* engine) -> DWORD {
      g.calls.push_back("open");
      *engine = kEngine;
      return ERROR_SUCCESS;
    },
    [](HANDLE) -> DWORD {
      g.calls.push_back("close");
      return ERROR_SUCCESS;
    },
    [](HANDLE) -> DWORD {
      g.calls.push_back("begin");
      return ERROR_SUCCESS;
    },
    [](HANDLE) -> DWORD {
      g.calls.push_back("commit");
      return ERROR_SUCCESS;
    },
    [](HANDLE) -> DWORD {
      g.calls.push_back("abort");
      return ERROR_SUCCESS;
    },
    [](HANDLE, const FWPM_PROVIDER0* p) -> DWORD {
      g.calls.push_back(IsEqualGUID(p->providerKey, tunneld::kQuorvantaProvider) ? "provider" : "other provider");
      return ERROR_SUCCESS;
    },
    [](HANDLE, const FWPM_SUBLAYER0* s) -> DWORD {
      g.calls.push_back(s->weight == 0xFFFF && IsEqualGUID(s->subLayerKey, tunneld::kQuorvantaSublayer)
                            ? "sublayer"
                            : "other sublayer");
      return ERROR_SUCCESS;
    },
    [](HANDLE, const FWPM_FILTER0* f, UINT64* id) -> DWORD {
      if (g.adds++ == g.failFilterAt) return FWP_E_INVALID_PARAMETER;
      Recorded r{f->layerKey, f->action.type, f->weight.uint8, {}, false};
      EXPECT_TRUE(IsEqualGUID(f->subLayerKey, tunneld::kQuorvantaSublayer));
      for (UINT32 i = 0; i < f->numFilterConditions; ++i) {
        r.fields.push_back(f->filterCondition[i].fieldKey);
        if (f->filterCondition[i].conditionValue.type == FWP_BYTE_BLOB_TYPE)
          r.appIdBlob = f->filterCondition[i].conditionValue.byteBlob->size == sizeof kBlob;
      }
      g.filters.push_back(r);
      *id = g.nextId++;
      g.calls.push_back("filter");
      return ERROR_SUCCESS;
    },
    [](HANDLE, UINT64 id) -> DWORD {
      g.deleted.push_back(id);
      g.calls.push_back("delete");
      return ERROR_SUCCESS;
    },
    [](const wchar_t*, FWP_BYTE_BLOB** blob) -> DWORD {
      *blob = &kAppId;
      return ERROR_SUCCESS;
    },
    [](FWP_BYTE_BLOB** blob) { *blob = nullptr; },
    [](UINT64* luids, int max) -> int {
      int n = 0;
      for (UINT64 luid : g.adapters) {
        if (n < max) luids[n++] = luid;
      }
      return n;
    },
};

BlockRules Rules(const char* server, bool lan) {
  BlockRules rules;
  std::snprintf(rules.server, sizeof rules.server, "%s", server);
  rules.port = 1194;
  rules.udp = true;
  rules.allowLan = lan;
  return rules;
}

int Count(const std::vector<std::string>& calls, const char* what) {
  int n = 0;
  for (const auto& c : calls) n += c == what;
  return n;
}

class WfpBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Engine{};
    tunneld::UseWfpCalls(&kRecording);
  }
  void TearDown() override { tunneld::UseWfpCalls(nullptr); }
};

TEST_F(WfpBlock, OneTransactionOfPermitsAboveABlockAtEachLayerThenTheSessionsClose) {
  {
    tunneld::Firewall firewall;
    const BlockRules rules = Rules("198.51.100.11", true);
    ASSERT_TRUE(firewall.Apply(rules, "C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"));
    EXPECT_TRUE(firewall.Active());
    const auto planned = tunneld::WfpFilters(rules);
    ASSERT_EQ(g.filters.size(), planned.size());
    EXPECT_EQ(g.calls.front(), "open");
    EXPECT_EQ(g.calls[1], "begin");
    EXPECT_EQ(g.calls[2], "provider");
    EXPECT_EQ(g.calls[3], "sublayer");
    EXPECT_EQ(g.calls.back(), "commit");
    const GUID* layers[] = {&tunneld::kLayerConnectV4, &tunneld::kLayerConnectV6, &tunneld::kLayerRecvV4,
                            &tunneld::kLayerRecvV6};
    for (const GUID* layer : layers) {
      int blocks = 0;
      for (const auto& f : g.filters) {
        if (!IsEqualGUID(f.layer, *layer)) continue;
        if (f.action == FWP_ACTION_BLOCK) {
          ++blocks;
          EXPECT_EQ(f.weight, 0);
          EXPECT_TRUE(f.fields.empty());
        } else {
          EXPECT_GT(f.weight, 0);
          EXPECT_FALSE(f.fields.empty());
        }
      }
      EXPECT_EQ(blocks, 1);
    }
    // OpenVPN's own packets: its program, the protocol, the port and the server, at the v4 connect layer only.
    int app = 0;
    for (const auto& f : g.filters) {
      if (!f.appIdBlob) continue;
      ++app;
      EXPECT_TRUE(IsEqualGUID(f.layer, tunneld::kLayerConnectV4));
      EXPECT_EQ(f.fields.size(), 4u);
    }
    EXPECT_EQ(app, 1);
    // OpenVPN's adapters by their LUIDs, one filter a layer whose conditions are either-or.
    int adapters = 0;
    for (const auto& f : g.filters) {
      if (f.fields.size() != 2 || !IsEqualGUID(f.fields[0], tunneld::kConditionLocalInterface)) continue;
      ++adapters;
      EXPECT_TRUE(IsEqualGUID(f.fields[1], tunneld::kConditionLocalInterface));
      EXPECT_EQ(f.action, FWP_ACTION_PERMIT);
    }
    EXPECT_EQ(adapters, 4);

    // The next server's filters replace the old ones in one transaction, in the same session.
    g.calls.clear();
    const size_t before = g.filters.size();
    ASSERT_TRUE(firewall.Apply(Rules("2001:db8::5", false), "openvpn.exe"));
    EXPECT_EQ(Count(g.calls, "open"), 0);
    EXPECT_EQ(Count(g.calls, "provider"), 0);
    EXPECT_EQ(g.calls.front(), "begin");
    EXPECT_EQ(g.calls.back(), "commit");
    EXPECT_EQ(g.deleted.size(), before);

    // A filter the engine refuses: the transaction is aborted and the block in force stays.
    g.calls.clear();
    g.failFilterAt = g.adds + 2;
    EXPECT_FALSE(firewall.Apply(Rules("198.51.100.12", true), "openvpn.exe"));
    EXPECT_EQ(g.calls.back(), "abort");
    EXPECT_EQ(Count(g.calls, "commit"), 0);
    EXPECT_EQ(Count(g.calls, "close"), 0);
    EXPECT_TRUE(firewall.Active());

    g.calls.clear();
    firewall.Remove();
    EXPECT_FALSE(firewall.Active());
    EXPECT_EQ(g.calls, (std::vector<std::string>{"close"}));
  }
  // Removed already: the destructor closes nothing more.
  EXPECT_EQ(Count(g.calls, "close"), 1);
}

TEST_F(WfpBlock, WithoutAnyOfOpenVpnsAdaptersOnlyTheirTypeLetsTheTunnelThrough) {
  g.adapters.clear();
  tunneld::Firewall firewall;
  const BlockRules rules = Rules("198.51.100.11", false);
  ASSERT_TRUE(firewall.Apply(rules, "openvpn.exe"));
  EXPECT_EQ(g.filters.size(), tunneld::WfpFilters(rules).size() - 4);
  for (const auto& f : g.filters)
    for (const GUID& field : f.fields) EXPECT_FALSE(IsEqualGUID(field, tunneld::kConditionLocalInterface));
}

TEST_F(WfpBlock, AFirstBlockThatFailsLeavesNoSessionOpen) {
  g.failFilterAt = 0;
  tunneld::Firewall firewall;
  EXPECT_FALSE(firewall.Apply(Rules("198.51.100.11", false), "openvpn.exe"));
  EXPECT_FALSE(firewall.Active());
  EXPECT_EQ(Count(g.calls, "abort"), 1);
  EXPECT_EQ(Count(g.calls, "close"), 1);
  ASSERT_FALSE(tunneld::g_logged.empty());
  EXPECT_NE(tunneld::g_logged.back().find("refused"), std::string::npos);
}

}  // namespace
