#pragma once
// Who owns the far end of a loopback TCP connection, and who owns a file.
// The management port is open to every local user; these let the listener
// tell our OpenVPN from anybody else's process.
#include <cstddef>
#include <cstdint>

#include "platform/tcp_listener.h"

namespace platform {

// Whether the peer of an accepted loopback connection may drive the tunnel:
// it runs as the system account (root; LocalSystem on Windows) or as the
// account the service runs as (on Linux the owner of serviceEndpoint; on
// Windows this process's own user, the one a console-run service shares).
// peer receives how messages name the peer ("uid 1000", "process 812 of
// user S-1-5-…"), "" when its owner could not be found; such a peer is refused.
bool TcpPeerTrusted(SocketHandle accepted, const char* serviceEndpoint, char* peer, size_t peerSize);

// The uid that owns the peer's socket of an accepted loopback connection,
// looked up in the kernel's socket tables by the peer's address and port.
// false when the peer's socket cannot be found (it may already be gone).
bool TcpPeerOwner(SocketHandle accepted, uint32_t* uid);

// The owners of every listening TCP socket that a connection to
// 127.0.0.1:port could reach (bound to 127.0.0.1, to any IPv4 address, or
// dual-stack to any IPv6 address), at most maxOwners of them in *owners.
// false when the kernel's tables could not be read.
bool LoopbackListenerOwners(uint16_t port, uint32_t* owners, int maxOwners, int* count);

// The owner of the file (or socket file) at path; false when it does not exist.
bool FileOwner(const char* path, uint32_t* uid);

// Looks up the socket whose local end is localAddress:localPort and whose
// remote end is remoteAddress:remotePort in a text laid out like the
// kernel's TCP table (/proc/net/tcp). Addresses are IPv4 addresses in network
// byte order, ports in host order. false when no line matches.
bool FindOwnerInTcpTable(const char* table, size_t length, uint32_t localAddress, uint16_t localPort,
                         uint32_t remoteAddress, uint16_t remotePort, uint32_t* uid);

}  // namespace platform
