#pragma once
// Open connections per caller and in all; a caller over its share
// (kMaxPerUser) or a full table (kMaxConnections) is turned away at once.
#include "caller_identity.h"

namespace tunneld {

// false (and a refusal line) when the caller may not open one more.
bool TakeSlot(const CallerIdentity& caller);
void GiveSlot(const CallerIdentity& caller);

}  // namespace tunneld
