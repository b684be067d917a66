#include "platform/registry_value.h"

#include <cstring>

#include "platform/registry.h"

namespace platform {

bool HandOutValue(uint32_t valueType, const void* stored, uint32_t storedSize, uint32_t* type, void* data,
                  uint32_t* size) {
  // A string stored without its terminator is handed out with one, so callers
  // never read past the text.
  const bool addZero =
      valueType == kRegSz && (storedSize == 0 || static_cast<const char*>(stored)[storedSize - 1] != '\0');
  const uint32_t needed = storedSize + (addZero ? 1 : 0);
  if (type) *type = valueType;
  if (!size) return !data;  // no length to bound a copy
  bool ok = true;
  if (data) {
    if (needed > *size) {
      ok = false;
    } else {
      if (storedSize) std::memcpy(data, stored, storedSize);
      if (addZero) static_cast<char*>(data)[storedSize] = '\0';
    }
  }
  *size = needed;
  return ok;
}

}  // namespace platform
