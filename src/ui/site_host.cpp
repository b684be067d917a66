#include "ui/site_host.h"

#include <cstdio>
#include <cstring>

void SiteHostName(const char* site, char* host, size_t size) {
  if (host == nullptr || size == 0) return;
  host[0] = '\0';
  if (site == nullptr) return;
  const char* p = site;
  if (const char* scheme = std::strstr(site, "://")) p = scheme + 3;
  // The authority ends at the path, query or fragment.
  size_t authorityLength = std::strcspn(p, "/?#");
  // Credentials before an '@' are not part of the host.
  for (size_t i = authorityLength; i > 0; --i) {
    if (p[i - 1] == '@') {
      p += i;
      authorityLength -= i;
      break;
    }
  }
  size_t length = 0;
  if (authorityLength > 0 && p[0] == '[') {
    // A bracketed IPv6 literal keeps its brackets; its colons are no port.
    const char* close = static_cast<const char*>(std::memchr(p, ']', authorityLength));
    length = close != nullptr ? static_cast<size_t>(close - p) + 1 : authorityLength;
  } else {
    const char* colon = static_cast<const char*>(std::memchr(p, ':', authorityLength));
    length = colon != nullptr ? static_cast<size_t>(colon - p) : authorityLength;
  }
  if (length > size - 1) length = size - 1;
  std::memcpy(host, p, length);
  host[length] = '\0';
}

bool SiteHomeAddress(const char* site, char* address, size_t size) {
  if (address == nullptr || size == 0) return false;
  address[0] = '\0';
  char host[256];
  SiteHostName(site, host, sizeof host);
  // A host cut to the buffer would name another site: open nothing instead.
  if (host[0] == '\0' || std::strlen(host) >= sizeof host - 1) return false;
  int n = std::snprintf(address, size, "http://%s/", host);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    address[0] = '\0';
    return false;
  }
  return true;
}
