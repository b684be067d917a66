#include "platform/socket_owner.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

namespace platform {

namespace {

// The process owning the socket whose local end is (address, port) and
// remote end (remoteAddress, remotePort); all in network order.
bool FindOwnerPid(uint32_t address, uint16_t port, uint32_t remoteAddress, uint16_t remotePort,
                  DWORD* pid) {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD r = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the size query and the read.
  for (int attempt = 0; attempt < 4 && r == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size ? size : 1);
    r = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
  }
  if (r != NO_ERROR) return false;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    // Only the low 16 bits of the port fields carry the port (network order).
    if (row.dwLocalAddr == address && static_cast<uint16_t>(row.dwLocalPort) == port &&
        row.dwRemoteAddr == remoteAddress && static_cast<uint16_t>(row.dwRemotePort) == remotePort) {
      *pid = row.dwOwningPid;
      return true;
    }
  }
  return false;
}

// The user SID of a process's token, copied into sid (at most size bytes).
bool ProcessUser(HANDLE process, unsigned char* sid, DWORD size) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
  unsigned char buffer[256];
  DWORD length = 0;
  bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) != FALSE;
  CloseHandle(token);
  if (!ok) return false;
  PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  return IsValidSid(user) && CopySid(size, sid, user);
}

}  // namespace

bool TcpPeerTrusted(SocketHandle accepted, const char*, uint32_t* peer) {
  *peer = ~0u;
  sockaddr_in remote{};
  sockaddr_in self{};
  int remoteLength = sizeof remote;
  int selfLength = sizeof self;
  if (getpeername(accepted, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0) return false;
  if (getsockname(accepted, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return false;
  if (remote.sin_family != AF_INET || self.sin_family != AF_INET) return false;
  DWORD pid = 0;
  // The peer's row has our ends swapped.
  if (!FindOwnerPid(remote.sin_addr.s_addr, remote.sin_port, self.sin_addr.s_addr, self.sin_port,
                    &pid)) {
    return false;
  }
  *peer = pid;
  // Windows names the owner of every live connection; a system that reports
  // process 0 (Wine does) cannot tell us, and refusing would leave the tunnel
  // without its management channel.
  if (pid == 0) return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  unsigned char peerSid[SECURITY_MAX_SID_SIZE];
  bool found = ProcessUser(process, peerSid, sizeof peerSid);
  CloseHandle(process);
  if (!found) return false;
  if (IsWellKnownSid(reinterpret_cast<PSID>(peerSid), WinLocalSystemSid)) return true;
  unsigned char ownSid[SECURITY_MAX_SID_SIZE];
  if (!ProcessUser(GetCurrentProcess(), ownSid, sizeof ownSid)) return false;
  return EqualSid(reinterpret_cast<PSID>(peerSid), reinterpret_cast<PSID>(ownSid)) != FALSE;
}

// The owner lookup by process needs the extended TCP table and the owner's token.
bool LoopbackListenerOwners(uint16_t, uint32_t*, int, int* count) {
  *count = 0;
  return false;
}

}  // namespace platform
