#include "platform/socket_owner.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/account_win.h"

namespace platform {

namespace {

// One of the system's TCP tables; the table may grow between the size query and the read.
template <typename Table>
bool ReadTcpTable(ULONG family, TCP_TABLE_CLASS kind, std::vector<unsigned char>* buffer) {
  DWORD size = 0;
  DWORD r = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && r == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer->resize(size > sizeof(Table) ? size : sizeof(Table));
    size = static_cast<DWORD>(buffer->size());
    r = GetExtendedTcpTable(buffer->data(), &size, FALSE, family, kind, 0);
  }
  return r == NO_ERROR;
}

// The process owning the connection whose local end is (address, port) and
// remote end (remoteAddress, remotePort), all in network order; 0 when the
// table names none (Wine) or has no such row.
DWORD ConnectionOwner(uint32_t address, uint16_t port, uint32_t remoteAddress, uint16_t remotePort) {
  std::vector<unsigned char> buffer;
  if (!ReadTcpTable<MIB_TCPTABLE_OWNER_PID>(AF_INET, TCP_TABLE_OWNER_PID_ALL, &buffer)) return 0;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    // Only the low 16 bits of the port fields carry the port (network order).
    if (row.dwLocalAddr == address && static_cast<uint16_t>(row.dwLocalPort) == port &&
        row.dwRemoteAddr == remoteAddress && static_cast<uint16_t>(row.dwRemotePort) == remotePort)
      return row.dwOwningPid;
  }
  return 0;
}

// Refusals for want of an owner are said once: they repeat for every connection.
void SayOnceOwnerUnknown(const char* why) {
  static bool said = false;
  if (said) return;
  said = true;
  std::printf("Server: management connections whose owner cannot be found are refused: %s\n", why);
  std::fflush(stdout);
}

}  // namespace

bool TcpPeerTrusted(SocketHandle accepted, const char*, char* peer, size_t peerSize) {
  if (peerSize) peer[0] = '\0';
  sockaddr_in remote{};
  sockaddr_in self{};
  int remoteLength = sizeof remote;
  int selfLength = sizeof self;
  if (getpeername(accepted, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 ||
      getsockname(accepted, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 || remote.sin_family != AF_INET ||
      self.sin_family != AF_INET) {
    SayOnceOwnerUnknown("the connection's ends cannot be read");
    return false;
  }
  // The peer's row has our ends swapped.
  const DWORD pid = ConnectionOwner(remote.sin_addr.s_addr, remote.sin_port, self.sin_addr.s_addr, self.sin_port);
  if (pid == 0 && RunningOnWine()) {
    uint32_t uid = 0, own = 0;
    if (!WineConnectionUid(remote.sin_addr.s_addr, remote.sin_port, self.sin_addr.s_addr, self.sin_port, &uid) ||
        !WineOwnUid(&own)) {
      SayOnceOwnerUnknown("neither Wine's table nor the Unix kernel's names the connection's owner");
      return false;
    }
    std::snprintf(peer, peerSize, "Unix uid %u", uid);
    return uid == own;
  }
  if (pid == 0) {
    SayOnceOwnerUnknown("the system's TCP table names no process for the connection");
    return false;
  }
  char sid[kSidTextSize];
  if (!ProcessUserSid(pid, sid, sizeof sid)) {
    std::snprintf(peer, peerSize, "process %lu of an unknown user", static_cast<unsigned long>(pid));
    return false;
  }
  std::snprintf(peer, peerSize, "process %lu of user %s", static_cast<unsigned long>(pid), sid);
  return IsSystemOrOwnUser(sid);
}

// Windows numbers no users: the service asks LoopbackListenerSids instead.
bool LoopbackListenerOwners(uint16_t, uint32_t*, int, int* count) {
  *count = 0;
  return false;
}

bool LoopbackListenerSids(uint16_t port, char (*sids)[kSidTextSize], int maxSids, int* count) {
  *count = 0;
  auto add = [&](const char* sid) {
    if (*count < maxSids) std::snprintf(sids[*count], kSidTextSize, "%s", sid);
    *count += 1;
  };
  if (RunningOnWine()) {
    uint32_t uids[16];
    int found = 0;
    uint32_t own = 0;
    if (!WineLoopbackListenerUids(port, uids, 16, &found) || !WineOwnUid(&own)) return false;
    for (int i = 0; i < found; ++i) {
      char name[40];
      std::snprintf(name, sizeof name, "Unix uid %u", i < 16 ? uids[i] : ~0u);
      add(i < 16 && uids[i] == own ? OwnUserSid() : name);
    }
    return true;
  }
  auto owner = [&](DWORD pid) {
    char sid[kSidTextSize];
    add(ProcessUserSid(pid, sid, sizeof sid) ? sid : "");
  };
  std::vector<unsigned char> buffer;
  if (!ReadTcpTable<MIB_TCPTABLE_OWNER_PID>(AF_INET, TCP_TABLE_OWNER_PID_LISTENER, &buffer)) return false;
  const auto* v4 = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  for (DWORD i = 0; i < v4->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = v4->table[i];
    if (ntohs(static_cast<uint16_t>(row.dwLocalPort)) == port && (row.dwLocalAddr == 0 || row.dwLocalAddr == loopback))
      owner(row.dwOwningPid);
  }
  // A dual-stack listener on any IPv6 address reaches 127.0.0.1 too.
  if (ReadTcpTable<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, TCP_TABLE_OWNER_PID_LISTENER, &buffer)) {
    const auto* v6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    static const UCHAR any[16] = {};
    static const UCHAR mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    for (DWORD i = 0; i < v6->dwNumEntries; ++i) {
      const MIB_TCP6ROW_OWNER_PID& row = v6->table[i];
      if (ntohs(static_cast<uint16_t>(row.dwLocalPort)) == port &&
          (std::memcmp(row.ucLocalAddr, any, 16) == 0 || std::memcmp(row.ucLocalAddr, mapped, 16) == 0))
        owner(row.dwOwningPid);
    }
  }
  return true;
}

}  // namespace platform
