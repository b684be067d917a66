#include "platform/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

const char* DefaultServiceEndpoint() { return kServicePipeLinux; }

namespace {

// A folder of this user's alone: a directory (not a link), owned by the user
// and closed to everybody else. A wider folder of the user's own is narrowed;
// a stranger's is never used.
bool PrivateFolder(const char* path, bool create) {
  if (create && mkdir(path, 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  if ((st.st_mode & 077) != 0 && chmod(path, 0700) != 0) return false;
  return true;
}

}  // namespace

const char* RuntimeDirectory() {
  static char path[256];
  static std::once_flag once;
  std::call_once(once, [] {
    auto use = [](const char* candidate, bool create) {
      int n = std::snprintf(path, sizeof path, "%s", candidate);
      if (n > 0 && static_cast<size_t>(n) < sizeof path && PrivateFolder(path, create)) return true;
      path[0] = '\0';
      return false;
    };
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg && use(xdg, false)) return;
    char fallback[256];
    std::snprintf(fallback, sizeof fallback, "/tmp/quorvanta-%u", static_cast<unsigned>(geteuid()));
    if (use(fallback, true)) return;
    // A stranger took the name in /tmp: a folder under the user's own home.
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    char parent[200];
    if (cache && *cache)
      std::snprintf(parent, sizeof parent, "%s", cache);
    else if (home && *home)
      std::snprintf(parent, sizeof parent, "%s/.cache", home);
    else
      return;
    mkdir(parent, 0700);
    std::snprintf(fallback, sizeof fallback, "%s/quorvanta-run", parent);
    use(fallback, true);
  });
  return path;
}

}  // namespace platform
