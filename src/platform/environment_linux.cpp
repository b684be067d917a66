#include "platform/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/well_known.h"

namespace platform {

const char* DefaultServiceEndpoint() { return kServicePipeLinux; }

const char* RuntimeDirectory() {
  static char path[256];
  static std::once_flag once;
  std::call_once(once, [] {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) {
      std::snprintf(path, sizeof path, "%s", xdg);
    } else {
      std::snprintf(path, sizeof path, "/tmp/quorvanta-%u", static_cast<unsigned>(getuid()));
      mkdir(path, 0700);
      // Another user may have made the name first: never use a directory we don't own.
      struct stat st;
      if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
          (st.st_mode & 0022) != 0) {
        path[0] = '\0';
      }
    }
  });
  return path;
}

}  // namespace platform
