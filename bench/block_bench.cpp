// Time from StartTunnel to WM_TUNNEL_UP through the real service and
// Debian's OpenVPN, with the machine's block outside the tunnel on and off,
// in interleaved rounds of one run; the counters give both medians and their
// ratio. Runs in a network namespace of its own (the block never touches the
// machine's); needs root.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "platform/registry.h"
#include "profile/server_list.h"
#include "runtime/shared_state.h"
#include "runtime/signal.h"
#include "runtime/ui_messages.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "tunnel/service_request.h"
#include "tunnel/tcp_server.h"

namespace {

using qvtest::NowMs;
using qvtest::RunningProgram;

constexpr const char* kIdentity = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";
constexpr const char* kOpenVpn = "/usr/sbin/openvpn";
constexpr int kRounds = 5;
constexpr int kPort = 11943;

double NowMsPrecise() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool WaitFor(platform::MessageQueue& queue, uint32_t id, int timeoutMs) {
  const long deadline = NowMs() + timeoutMs;
  platform::Message m;
  for (long left; (left = deadline - NowMs()) > 0;) {
    if (queue.WaitTake(&m, static_cast<int>(left)) && m.id == id) return true;
  }
  return false;
}

void SetBlock(bool on) {
  platform::ScopedRegKey key(platform::RegCreateKey("SOFTWARE\\Quorvanta"));
  const uint32_t value = on ? 1 : 0;
  platform::RegSetValue(key.get(), "block_outside_tunnel", platform::kRegDword, &value, sizeof value);
}

void BM_TunnelUpWithAndWithoutTheBlock(benchmark::State& state) {
  if (geteuid() != 0 || access(kOpenVpn, X_OK) != 0 || unshare(CLONE_NEWNET) != 0 ||
      std::system("ip link set lo up") != 0) {
    state.SkipWithError("needs root, Debian's openvpn and a network namespace of its own");
    for (auto _ : state) {
    }
    return;
  }
  qvtest::TempDir dir;
  const std::string d = dir.path();
  const std::string script = std::string(QV_SOURCE_DIR) + "/tests/integration/tunnel/openvpn-loopback.sh";
  const std::string setup = script + " pki " + d + "/pki && " + script + " server " + d + "/pki block udp " +
                            std::to_string(kPort) + " " + kIdentity + " && mkdir -p " + d + "/etc && cp " +
                            QV_SOURCE_DIR + "/tests/integration/tunnel/config.qvpn " + d + "/pki/ca.crt " + d + "/etc/";
  if (std::system(setup.c_str()) != 0) {
    state.SkipWithError("cannot prepare the local server");
    return;
  }
  setenv("QUORVANTA_REGISTRY", (d + "/registry.db").c_str(), 1);
  SetBlock(false);
  RunningProgram server;
  server.Start({kOpenVpn, "--cd", d + "/pki", "--config", "block.conf"});
  if (!server.WaitForLine("Initialization Sequence Completed", 10000)) {
    state.SkipWithError("the local server did not start");
    return;
  }
  const std::string socketPath = d + "/QuorvantaPipe";
  setenv("QUORVANTA_PIPE", socketPath.c_str(), 1);
  setenv("QUORVANTA_OBJECT_NAMESPACE", ("block" + std::to_string(getpid())).c_str(), 1);
  RunningProgram service;
  service.Start({std::string(QV_BINARY_DIR) + "/service/quorvanta-tunneld", "--socket", socketPath, "--config-dir",
                 d + "/etc", "--openvpn", kOpenVpn, "--dns-hook", "none"});
  if (!service.WaitForLine("serving", 10000)) {
    state.SkipWithError("the service did not start");
    return;
  }
  std::snprintf(MachineId, sizeof MachineId, "%s", kIdentity);
  CreateSharedLists();
  platform::MessageQueue queue;
  TcpServer listener;
  listener.SetPort(ManagementPort);
  listener.SetNotifyWindow(&queue);
  listener.Start();
  if (listener.WaitListening() != ManagementPort) {
    state.SkipWithError("the management port is held by another program");
    return;
  }
  Signal signal;
  const std::string entry = "127.0.0.1:" + std::to_string(kPort) + ":udp";
  std::vector<double> blocked, open;
  for (auto _ : state) {
    for (int round = 0; round < 2 * kRounds; ++round) {
      const bool block = round % 2 == 0;
      SetBlock(block);
      {
        std::lock_guard<std::mutex> lock(ListsLock);
        PushBack(Servers, NewServerEntry(entry.c_str(), entry.size()));
      }
      const double t0 = NowMsPrecise();
      const bool up = StartTunnel(signal) && WaitFor(queue, msg::WM_MGMT_CONNECTED, 10000) &&
                      WaitFor(queue, msg::WM_TUNNEL_UP, 10000);
      const double t1 = NowMsPrecise();
      signal.Set();
      WaitFor(queue, msg::WM_MGMT_DISCONNECTED, 10000);
      if (!up) {
        state.SkipWithError("the tunnel did not come up");
        break;
      }
      (block ? blocked : open).push_back(t1 - t0);
    }
  }
  listener.Stop();
  FreeSharedLists();
  if (blocked.size() == kRounds && open.size() == kRounds) {
    state.counters["with_block_ms"] = Median(blocked);
    state.counters["without_block_ms"] = Median(open);
    state.counters["ratio"] = Median(blocked) / Median(open);
  }
  service.Stop(SIGTERM, 10000);
  server.Stop(SIGTERM, 10000);
  platform::RemoveNamedEvent(kExitEventName);
}
BENCHMARK(BM_TunnelUpWithAndWithoutTheBlock)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
