#include "platform/sockets.h"

#include <winsock2.h>

namespace platform {

bool StartSockets() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  // An older library that still answers is not the one we asked for.
  return LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 2;
}

// Harmless after a failed start: WSACleanup then just reports an error.
void StopSockets() { WSACleanup(); }

}  // namespace platform
