#include "profile/profile_update.h"

// Filled in by the update worker.
void StartServerListUpdate(const char*) {}
void StartDelayedServerListUpdate(const char*) {}
