#include "platform/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/well_known.h"

#ifndef QV_DEFAULT_SITE
#define QV_DEFAULT_SITE "http://www.quorvanta.example"
#endif

namespace platform {

const char* DefaultServiceEndpoint() { return kServicePipeLinux; }

const char* SiteBase() {
  const char* site = std::getenv("QUORVANTA_SITE");
  if (!site || !*site) return QV_DEFAULT_SITE;
  // Every address is the base followed by "/...": a base given with a
  // trailing "/" would double it. Each thread gets its own copy to trim.
  size_t length = std::strlen(site);
  if (site[length - 1] != '/') return site;
  thread_local char trimmed[1024];
  if (length >= sizeof trimmed) return site;
  while (length > 0 && site[length - 1] == '/') --length;
  if (length == 0 || site[length - 1] == ':') return site;  // "/" or "http://" alone: nothing sane to trim to
  std::memcpy(trimmed, site, length);
  trimmed[length] = '\0';
  return trimmed;
}

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
