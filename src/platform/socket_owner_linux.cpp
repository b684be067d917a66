#include "platform/socket_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr unsigned kListenState = 10;  // TCP_LISTEN in the kernel's numbering

struct Ends {
  uint32_t peerAddress;  // network order
  uint16_t peerPort;     // network order
  uint32_t selfAddress;
  uint16_t selfPort;
};

bool ReadEnds(SocketHandle accepted, Ends* ends) {
  sockaddr_in peer{};
  sockaddr_in self{};
  socklen_t peerLength = sizeof peer;
  socklen_t selfLength = sizeof self;
  if (getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
  if (getsockname(accepted, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0) return false;
  if (peer.sin_family != AF_INET || self.sin_family != AF_INET) return false;
  ends->peerAddress = peer.sin_addr.s_addr;
  ends->peerPort = peer.sin_port;
  ends->selfAddress = self.sin_addr.s_addr;
  ends->selfPort = self.sin_port;
  return true;
}

// Sends one sock_diag request for TCP sockets of family in the given states;
// the descriptor to read the answer from, or -1.
int AskSockDiag(uint8_t family, uint32_t states, uint16_t flags, const inet_diag_sockid& id) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  // The kernel answers at once; the bound only guards against the unexpected.
  timeval bound{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message;
  std::memset(&message, 0, sizeof message);
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = flags;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = family;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = states;
  message.request.id = id;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof message)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Asks sock_diag for the one socket whose local end is the peer's and whose
// remote end is ours.
bool LookUpWithSockDiag(const Ends& ends, uint32_t* uid) {
  inet_diag_sockid id{};
  id.idiag_sport = ends.peerPort;
  id.idiag_dport = ends.selfPort;
  id.idiag_src[0] = ends.peerAddress;
  id.idiag_dst[0] = ends.selfAddress;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  const int fd = AskSockDiag(AF_INET, ~0u, NLM_F_REQUEST, id);
  if (fd < 0) return false;
  alignas(nlmsghdr) char buffer[8192];
  ssize_t received;
  do {
    received = recv(fd, buffer, sizeof buffer, 0);
  } while (received < 0 && errno == EINTR);
  close(fd);
  if (received <= 0) return false;
  int left = static_cast<int>(received);
  for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return false;  // an error: no such socket
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
    const inet_diag_msg* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    // The lookup falls back to listeners: only the exact connection counts.
    // A socket its process has closed (time-wait, orphaned) has no inode and
    // shows uid 0: it proves nothing about who sent what is still queued.
    if (found->idiag_state == kListenState || found->idiag_inode == 0 || found->id.idiag_sport != ends.peerPort ||
        found->id.idiag_dport != ends.selfPort || found->id.idiag_src[0] != ends.peerAddress ||
        found->id.idiag_dst[0] != ends.selfAddress) {
      return false;
    }
    *uid = found->idiag_uid;
    return true;
  }
  return false;
}

// Dumps the listening sockets of one family on port and adds the owners of
// those a loopback IPv4 connection reaches.
bool DumpListeners(uint8_t family, uint16_t port, uint32_t* owners, int maxOwners, int* count) {
  const int fd = AskSockDiag(family, 1u << kListenState, NLM_F_REQUEST | NLM_F_DUMP, inet_diag_sockid{});
  if (fd < 0) return false;
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  alignas(nlmsghdr) char buffer[16384];
  for (;;) {
    ssize_t received;
    do {
      received = recv(fd, buffer, sizeof buffer, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
      close(fd);
      return false;
    }
    int left = static_cast<int>(received);
    for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        close(fd);
        return true;
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        close(fd);
        return false;
      }
      const inet_diag_msg* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (ntohs(found->id.idiag_sport) != port) continue;
      const uint32_t* a = found->id.idiag_src;
      bool reaches;
      if (family == AF_INET) {
        reaches = a[0] == 0 || a[0] == loopback;
      } else {
        // Any address (dual-stack), or 127.0.0.1 mapped into IPv6.
        reaches = (a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0) ||
                  (a[0] == 0 && a[1] == 0 && a[2] == htonl(0xffff) && a[3] == loopback);
      }
      if (!reaches) continue;
      if (*count < maxOwners) owners[*count] = found->idiag_uid;
      *count += 1;
    }
  }
}

bool MatchTableLine(const char* line, const Ends& ends, uint32_t* uid) {
  unsigned localAddress, localPort, remoteAddress, remotePort, state, owner;
  unsigned long inode;
  int n = std::sscanf(line, " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*u %lu", &localAddress, &localPort,
                      &remoteAddress, &remotePort, &state, &owner, &inode);
  if (n != 7 || state == kListenState || inode == 0) return false;
  if (localAddress != ends.peerAddress || remoteAddress != ends.selfAddress) return false;
  if (localPort != ntohs(ends.peerPort) || remotePort != ntohs(ends.selfPort)) return false;
  *uid = owner;
  return true;
}

bool LookUpInProcTable(const Ends& ends, uint32_t* uid) {
  std::FILE* table = std::fopen("/proc/net/tcp", "re");
  if (!table) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, table)) found = MatchTableLine(line, ends, uid);
  std::fclose(table);
  return found;
}

}  // namespace

bool TcpPeerOwner(SocketHandle accepted, uint32_t* uid) {
  Ends ends;
  if (!ReadEnds(accepted, &ends)) return false;
  // Kernels without inet_diag still have the text table.
  return LookUpWithSockDiag(ends, uid) || LookUpInProcTable(ends, uid);
}

bool TcpPeerTrusted(SocketHandle accepted, const char* serviceEndpoint, char* peer, size_t peerSize) {
  if (peerSize) peer[0] = '\0';
  uint32_t uid;
  if (!TcpPeerOwner(accepted, &uid)) return false;
  std::snprintf(peer, peerSize, "uid %u", uid);
  if (uid == 0) return true;
  uint32_t serviceUid;
  return FileOwner(serviceEndpoint, &serviceUid) && serviceUid == uid;
}

bool LoopbackListenerOwners(uint16_t port, uint32_t* owners, int maxOwners, int* count) {
  *count = 0;
  if (!DumpListeners(AF_INET, port, owners, maxOwners, count)) return false;
  // Without IPv6 there is no table to read; a listener missed here could only
  // make a check fail, since a dual-stack socket and ours cannot share the port.
  int v4 = *count;
  if (!DumpListeners(AF_INET6, port, owners, maxOwners, count)) *count = v4;
  return true;
}

bool FileOwner(const char* path, uint32_t* uid) {
  struct stat st;
  if (!path || lstat(path, &st) != 0) return false;
  *uid = st.st_uid;
  return true;
}

bool FindOwnerInTcpTable(const char* table, size_t length, uint32_t localAddress, uint16_t localPort,
                         uint32_t remoteAddress, uint16_t remotePort, uint32_t* uid) {
  const Ends ends{localAddress, htons(localPort), remoteAddress, htons(remotePort)};
  char line[512];
  size_t at = 0;
  while (at < length) {
    size_t end = at;
    while (end < length && table[end] != '\n') ++end;
    size_t take = end - at < sizeof line - 1 ? end - at : sizeof line - 1;
    std::memcpy(line, table + at, take);
    line[take] = '\0';
    if (MatchTableLine(line, ends, uid)) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace platform
