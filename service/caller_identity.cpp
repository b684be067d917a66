#include "caller_identity.h"

#include <cstdio>
#include <cstring>

namespace tunneld {

bool SameCaller(const CallerIdentity& a, const CallerIdentity& b) {
  return std::strncmp(a.name, b.name, sizeof a.name) == 0;
}

bool MayReplace(const CallerIdentity& caller, const CallerIdentity& owner) {
  return caller.privileged || SameCaller(caller, owner);
}

void Printable(const unsigned char* data, size_t size, char* out, size_t outSize) {
  if (outSize == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < size && o + 5 < outSize; ++i) {
    if (i == 300) {
      int w = std::snprintf(out + o, outSize - o, "...");
      if (w > 0) o += static_cast<size_t>(w);
      break;
    }
    unsigned char c = data[i];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out[o++] = static_cast<char>(c);
    } else {
      int w = std::snprintf(out + o, outSize - o, "\\x%02x", c);
      if (w > 0) o += static_cast<size_t>(w);
    }
  }
  if (o >= outSize) o = outSize - 1;
  out[o] = '\0';
}

}  // namespace tunneld
