// Time from StartTunnel to WM_TUNNEL_UP through the real service and
// Debian's OpenVPN, with the machine's block outside the tunnel on and off,
// in interleaved rounds of one run; the counters give both medians and their
// ratio. Runs in a network namespace of its own (the block never touches the
// machine's); needs root.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "local_stack.h"
#include "platform/registry.h"

namespace {

constexpr int kRounds = 5;

void SetBlock(bool on) {
  platform::ScopedRegKey key(platform::RegCreateKey("SOFTWARE\\Quorvanta"));
  const uint32_t value = on ? 1 : 0;
  platform::RegSetValue(key.get(), "block_outside_tunnel", platform::kRegDword, &value, sizeof value);
}

void BM_TunnelUpWithAndWithoutTheBlock(benchmark::State& state) {
  if (geteuid() != 0 || access(qvbench::kOpenVpn, X_OK) != 0 || unshare(CLONE_NEWNET) != 0 ||
      std::system("ip link set lo up") != 0) {
    state.SkipWithError("needs root, Debian's openvpn and a network namespace of its own");
    for (auto _ : state) {
    }
    return;
  }
  qvbench::LocalStack stack;
  // The service reads the setting at each request from this registry.
  setenv("QUORVANTA_REGISTRY", (stack.dir.path() + "/registry.db").c_str(), 1);
  SetBlock(false);
  const std::string failed = stack.Start(11943, "block");
  if (!failed.empty()) {
    state.SkipWithError(failed.c_str());
    return;
  }
  Signal signal;
  std::vector<double> blocked, open;
  for (auto _ : state) {
    for (int round = 0; round < 2 * kRounds; ++round) {
      const bool block = round % 2 == 0;
      SetBlock(block);
      const double up = stack.Connect(signal);
      if (up < 0) {
        state.SkipWithError("the tunnel did not come up");
        break;
      }
      (block ? blocked : open).push_back(up);
    }
  }
  if (blocked.size() == kRounds && open.size() == kRounds) {
    state.counters["with_block_ms"] = qvbench::Median(blocked);
    state.counters["without_block_ms"] = qvbench::Median(open);
    state.counters["ratio"] = qvbench::Median(blocked) / qvbench::Median(open);
  }
}
BENCHMARK(BM_TunnelUpWithAndWithoutTheBlock)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
