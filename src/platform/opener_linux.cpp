#include "platform/opener.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace platform {

bool OpenUrl(const char* url) {
  const char* opener = std::getenv("QUORVANTA_OPENER");
  if (!opener || !*opener) opener = "xdg-open";
  char* const argv[] = {const_cast<char*>(opener), const_cast<char*>(url), nullptr};
  pid_t pid;
  // No shell: the address is one argument whatever it holds.
  if (posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) != 0) return false;
  // Reaped on a detached thread so the caller never waits and no zombie stays.
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace platform
