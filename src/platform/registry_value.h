#pragma once
// How a stored value is handed to RegQueryValue's caller, the same on every
// system: the size rule, and a terminator for a string stored without one.
#include <cstdint>

namespace platform {

bool HandOutValue(uint32_t valueType, const void* stored, uint32_t storedSize, uint32_t* type, void* data,
                  uint32_t* size);

}  // namespace platform
