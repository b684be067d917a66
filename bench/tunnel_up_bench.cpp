// Time from StartTunnel to WM_TUNNEL_UP through the real service and
// Debian's OpenVPN on loopback, against the same OpenVPN run directly with an
// auth file until "Initialization Sequence Completed". Five interleaved
// rounds each; the counters give the medians and their ratio (goal <= 1.15).
// Needs root (the local server opens a tun device) and the management port.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "local_stack.h"

namespace {

using qvbench::kIdentity;
using qvbench::kOpenVpn;
using qvbench::Median;
using qvbench::NowMsPrecise;

constexpr int kRounds = 5;

int FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

void BM_TunnelUpVersusBareClient(benchmark::State& state) {
  if (geteuid() != 0 || access(kOpenVpn, X_OK) != 0) {
    state.SkipWithError("needs root and Debian's openvpn (the local server opens a tun device)");
    for (auto _ : state) {
    }
    return;
  }
  const int port = FreeUdpPort();
  qvbench::LocalStack stack;
  const std::string failed = stack.Start(port, "b" + std::to_string(getpid() % 100000));
  if (!failed.empty()) {
    state.SkipWithError(failed.c_str());
    return;
  }
  const std::string etc = stack.dir.path() + "/etc";
  std::ofstream(etc + "/auth.txt") << kIdentity << "\n" << kIdentity << "\n";
  Signal signal;
  std::vector<double> viaService, bare, connected;

  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      double managementMs = 0;
      const double up = stack.Connect(signal, &managementMs);
      if (up < 0) {
        state.SkipWithError("the tunnel did not come up");
        break;
      }
      viaService.push_back(up);
      connected.push_back(managementMs);

      qvtest::RunningProgram client;
      double b0 = NowMsPrecise();
      client.Start({kOpenVpn, "--cd", etc, "--config", "config.qvpn", "--remote", "127.0.0.1", std::to_string(port),
                    "--proto", "udp", "--hand-window", "5", "--resolv-retry", "0", "--verb", "4",
                    "--explicit-exit-notify", "--auth-user-pass", "auth.txt"});
      bool done = client.WaitForLine("Initialization Sequence Completed", 10000);
      double b1 = NowMsPrecise();
      client.Stop(SIGTERM, 5000);
      if (!done) {
        state.SkipWithError("the bare client did not come up");
        break;
      }
      bare.push_back(b1 - b0);
    }
  }
  if (viaService.size() == kRounds && bare.size() == kRounds) {
    state.counters["tunnel_up_ms"] = Median(viaService);
    state.counters["bare_client_ms"] = Median(bare);
    state.counters["ratio"] = Median(viaService) / Median(bare);
    for (int i = 0; i < kRounds; ++i) {
      std::fprintf(stderr, "round %d: via service %.1f ms (management connected %.1f), bare client %.1f ms\n", i + 1,
                   viaService[i], connected[i], bare[i]);
    }
  }
}
BENCHMARK(BM_TunnelUpVersusBareClient)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
