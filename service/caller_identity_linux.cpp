#include "caller_identity_linux.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "supervisor.h"

namespace tunneld {

bool PeerIdentity(int fd, CallerIdentity* caller) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    Log("refused connection: no peer credentials: %s", std::strerror(errno));
    return false;
  }
  std::snprintf(caller->name, sizeof caller->name, "uid %u", static_cast<unsigned>(cred.uid));
  caller->privileged = cred.uid == 0;
  caller->uid = cred.uid;
  caller->pid = cred.pid;
  return true;
}

}  // namespace tunneld
