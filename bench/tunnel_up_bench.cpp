// Time from StartTunnel to WM_TUNNEL_UP through the real service and
// Debian's OpenVPN on loopback, against the same OpenVPN run directly with an
// auth file until "Initialization Sequence Completed". Five interleaved
// rounds each; the counters give the medians and their ratio (goal <= 1.15).
// Needs root (the local server opens a tun device) and the management port.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/shared_state.h"
#include "runtime/signal.h"
#include "platform/message_queue.h"
#include "platform/named_event.h"
#include "profile/server_list.h"
#include "runtime/ui_messages.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "tunnel/controller_view.h"
#include "tunnel/service_request.h"
#include "tunnel/tcp_server.h"

namespace {

using qvtest::RunningProgram;
using qvtest::NowMs;

constexpr const char* kIdentity = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";
constexpr const char* kOpenVpn = "/usr/sbin/openvpn";
constexpr int kRounds = 5;

double NowMsPrecise() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Waits for a message id on the queue, dropping others; false on timeout.
bool WaitFor(platform::MessageQueue& queue, uint32_t id, int timeoutMs) {
  const long deadline = NowMs() + timeoutMs;
  platform::Message m;
  for (long left; (left = deadline - NowMs()) > 0;) {
    if (queue.WaitTake(&m, static_cast<int>(left)) && m.id == id) return true;
  }
  return false;
}

void BM_TunnelUpVersusBareClient(benchmark::State& state) {
  if (geteuid() != 0 || access(kOpenVpn, X_OK) != 0) {
    state.SkipWithError("needs root and Debian's openvpn (the local server opens a tun device)");
    for (auto _ : state) {
    }
    return;
  }
  qvtest::TempDir dir;
  const std::string d = dir.path();
  const std::string script = std::string(QV_SOURCE_DIR) + "/tests/integration/tunnel/openvpn-loopback.sh";
  const int port = FreeUdpPort();
  const std::string name = "b" + std::to_string(getpid() % 100000);
  std::string setup = script + " pki " + d + "/pki && " + script + " server " + d + "/pki " + name + " udp " +
                      std::to_string(port) + " " + kIdentity + " && mkdir -p " + d + "/etc && cp " +
                      QV_SOURCE_DIR + "/tests/integration/tunnel/config.qvpn " + d + "/pki/ca.crt " + d + "/etc/";
  if (std::system(setup.c_str()) != 0) {
    state.SkipWithError("cannot prepare the local server");
    return;
  }
  std::ofstream(d + "/etc/auth.txt") << kIdentity << "\n" << kIdentity << "\n";
  RunningProgram server;
  server.Start({kOpenVpn, "--cd", d + "/pki", "--config", name + ".conf"});
  if (!server.WaitForLine("Initialization Sequence Completed", 10000)) {
    state.SkipWithError("the local server did not start");
    return;
  }
  const std::string socketPath = d + "/QuorvantaPipe";
  setenv("QUORVANTA_PIPE", socketPath.c_str(), 1);
  setenv("QUORVANTA_OBJECT_NAMESPACE", ("bench" + std::to_string(getpid())).c_str(), 1);
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
  const std::string entry = "127.0.0.1:" + std::to_string(port) + ":udp";
  std::vector<double> viaService, bare;
  struct Stages {
    double sent, managementConnected;
  };
  std::vector<Stages> stages;

  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      {
        std::lock_guard<std::mutex> lock(ListsLock);
        PushBack(Servers, NewServerEntry(entry.c_str(), entry.size()));
      }
      double t0 = NowMsPrecise();
      bool sent = StartTunnel(signal);
      double tSent = NowMsPrecise();
      bool connected = sent && WaitFor(queue, msg::WM_MGMT_CONNECTED, 10000);
      double tConnected = NowMsPrecise();
      bool up = connected && WaitFor(queue, msg::WM_TUNNEL_UP, 10000);
      double t1 = NowMsPrecise();
      stages.push_back({tSent - t0, tConnected - t0});
      signal.Set();
      WaitFor(queue, msg::WM_MGMT_DISCONNECTED, 10000);
      if (!up) {
        state.SkipWithError("the tunnel did not come up");
        break;
      }
      viaService.push_back(t1 - t0);

      RunningProgram client;
      double b0 = NowMsPrecise();
      client.Start({kOpenVpn, "--cd", d + "/etc", "--config", "config.qvpn", "--remote", "127.0.0.1",
                    std::to_string(port), "--proto", "udp", "--hand-window", "5", "--resolv-retry", "0", "--verb",
                    "4", "--explicit-exit-notify", "--auth-user-pass", "auth.txt"});
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
  listener.Stop();
  FreeSharedLists();
  if (viaService.size() == kRounds && bare.size() == kRounds) {
    state.counters["tunnel_up_ms"] = Median(viaService);
    state.counters["bare_client_ms"] = Median(bare);
    state.counters["ratio"] = Median(viaService) / Median(bare);
    std::string all;
    for (int i = 0; i < kRounds; ++i) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "round %d: via service %.1f ms (request written %.2f, management connected %.1f), "
                    "bare client %.1f ms\n",
                    i + 1, viaService[i], stages[i].sent, stages[i].managementConnected, bare[i]);
      all += line;
    }
    std::fputs(all.c_str(), stderr);
  }
  service.Stop(SIGTERM, 10000);
  server.Stop(SIGTERM, 10000);
  platform::RemoveNamedEvent(kExitEventName);
}
BENCHMARK(BM_TunnelUpVersusBareClient)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
