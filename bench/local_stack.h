#pragma once
// What the tunnel benchmarks run against: a local OpenVPN server on loopback,
// the real service with Debian's OpenVPN, and the front end's management
// listener; and the timing of one request until the tunnel is up.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "runtime/server_list.h"
#include "runtime/shared_state.h"
#include "runtime/signal.h"
#include "runtime/ui_messages.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "tunnel/service_request.h"
#include "tunnel/tcp_server.h"

namespace qvbench {

inline constexpr const char* kIdentity = "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914";
inline constexpr const char* kOpenVpn = "/usr/sbin/openvpn";

inline double NowMsPrecise() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Waits for a message id on the queue, dropping others; false on timeout.
inline bool WaitFor(platform::MessageQueue& queue, uint32_t id, int timeoutMs) {
  const long deadline = qvtest::NowMs() + timeoutMs;
  platform::Message m;
  for (long left; (left = deadline - qvtest::NowMs()) > 0;) {
    if (queue.WaitTake(&m, static_cast<int>(left)) && m.id == id) return true;
  }
  return false;
}

struct LocalStack {
  qvtest::TempDir dir;
  qvtest::RunningProgram server, service;
  platform::MessageQueue queue;
  TcpServer listener;
  std::string entry;  // the profile entry of the local server
  bool listsMade = false;

  // Empty when all runs, else what did not start. name names the server's files.
  std::string Start(int port, const std::string& name) {
    const std::string d = dir.path();
    const std::string script = std::string(QV_SOURCE_DIR) + "/tests/integration/tunnel/openvpn-loopback.sh";
    const std::string setup = script + " pki " + d + "/pki && " + script + " server " + d + "/pki " + name + " udp " +
                              std::to_string(port) + " " + kIdentity + " && mkdir -p " + d + "/etc && cp " +
                              QV_SOURCE_DIR + "/tests/integration/tunnel/config.qvpn " + d + "/pki/ca.crt " + d +
                              "/etc/";
    if (std::system(setup.c_str()) != 0) return "cannot prepare the local server";
    server.Start({kOpenVpn, "--cd", d + "/pki", "--config", name + ".conf"});
    if (!server.WaitForLine("Initialization Sequence Completed", 10000)) return "the local server did not start";
    const std::string socketPath = d + "/QuorvantaPipe";
    setenv("QUORVANTA_PIPE", socketPath.c_str(), 1);
    setenv("QUORVANTA_OBJECT_NAMESPACE", (name + std::to_string(getpid())).c_str(), 1);
    service.Start({std::string(QV_BINARY_DIR) + "/service/quorvanta-tunneld", "--socket", socketPath, "--config-dir",
                   d + "/etc", "--openvpn", kOpenVpn, "--dns-hook", "none"});
    if (!service.WaitForLine("serving", 10000)) return "the service did not start";
    std::snprintf(MachineId, sizeof MachineId, "%s", kIdentity);
    CreateSharedLists();
    listsMade = true;
    listener.SetPort(ManagementPort);
    listener.SetNotifyWindow(&queue);
    listener.Start();
    if (listener.WaitListening() != ManagementPort) return "the management port is held by another program";
    entry = "127.0.0.1:" + std::to_string(port) + ":udp";
    return "";
  }

  // One request through the service until the tunnel is up, then its end;
  // the milliseconds it took, or a negative number when it did not come up.
  // connectedMs, when given, gets the time to the management connection.
  double Connect(Signal& signal, double* connectedMs = nullptr) {
    {
      std::lock_guard<std::mutex> lock(ListsLock);
      PushBack(Servers, NewServerEntry(entry.c_str(), entry.size()));
    }
    const double t0 = NowMsPrecise();
    const bool connected = StartTunnel(signal) && WaitFor(queue, msg::WM_MGMT_CONNECTED, 10000);
    if (connectedMs) *connectedMs = NowMsPrecise() - t0;
    const bool up = connected && WaitFor(queue, msg::WM_TUNNEL_UP, 10000);
    const double t1 = NowMsPrecise();
    signal.Set();
    WaitFor(queue, msg::WM_MGMT_DISCONNECTED, 10000);
    return up ? t1 - t0 : -1;
  }

  ~LocalStack() {
    listener.Stop();
    if (listsMade) FreeSharedLists();
    service.Stop(SIGTERM, 10000);
    server.Stop(SIGTERM, 10000);
    platform::RemoveNamedEvent(kExitEventName);
  }
};

}  // namespace qvbench
