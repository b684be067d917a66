#include "openvpn_lookup.h"

#include <cstdint>
#include <cstdio>

#include "platform/registry.h"

namespace tunneld {

bool InstalledOpenVpn(char* out, size_t size) {
  platform::ScopedRegKey key(platform::RegOpenKey("SOFTWARE\\OpenVPN", platform::RegAccess::Read));
  char path[1024] = {};
  uint32_t type = 0;
  uint32_t length = sizeof path - 1;
  if (!key || !platform::RegQueryValue(key.get(), "exe_path", &type, path, &length) || type != platform::kRegSz ||
      !path[0])
    return false;
  const int n = std::snprintf(out, size, "%s", path);
  return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace tunneld
