// The parts of the environment that read the same on every system.
#include <cstdlib>
#include <cstring>

#include "platform/environment.h"

#ifndef QV_DEFAULT_SITE
#define QV_DEFAULT_SITE "https://www.quorvanta.example"
#endif

namespace platform {

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

}  // namespace platform
