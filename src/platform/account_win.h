#pragma once
// Which account is behind a process, a token or a socket, for the Windows
// backends that must tell the service and the user's own programs from
// anybody else's. SIDs travel as text ("S-1-5-18").
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr size_t kSidTextSize = 192;
inline constexpr const char* kLocalSystemSid = "S-1-5-18";

// The user of a token, or of a process's primary token; false when it
// cannot be read (process 0, a process gone, or one we may not query).
bool TokenUserSid(HANDLE token, char* sid, size_t size);
bool ProcessUserSid(DWORD pid, char* sid, size_t size);
// This process's own user.
const char* OwnUserSid();
// LocalSystem, or the user this process runs as.
bool IsSystemOrOwnUser(const char* sid);

// The users owning the listeners on port that a connection to 127.0.0.1
// reaches (bound to it, to any IPv4 address, or dual-stack to any IPv6
// address), "" for one whose owner cannot be found, at most maxSids of them;
// false when the system's tables cannot be read. Wine: the Unix uid of this
// process stands for its own user, any other as "Unix uid N".
bool LoopbackListenerSids(uint16_t port, char (*sids)[kSidTextSize], int maxSids, int* count);

// Wine keeps no owner in its TCP tables (every row names process 0). Its
// sockets are the Unix kernel's, whose table names the owning uid, and every
// Wine process of one prefix runs as the one Unix user that owns it.
bool RunningOnWine();
// The Unix uid that owns the IPv4 connection from local to remote (network
// order, as in sockaddr_in); false when no row matches.
bool WineConnectionUid(uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress, uint16_t remotePort,
                       uint32_t* uid);
// The Unix uids owning listeners on port that a connection to 127.0.0.1
// reaches (127.0.0.1, 0.0.0.0, ::, ::ffff:127.0.0.1); false when the tables cannot be read.
bool WineLoopbackListenerUids(uint16_t port, uint32_t* uids, int maxUids, int* count);
// The Unix uid this process runs as.
bool WineOwnUid(uint32_t* uid);

}  // namespace platform
