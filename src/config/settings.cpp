#include "config/settings.h"

// Placeholder until the settings store lands.
uint32_t ReadRegistryString(platform::RegKey*, const char*, char*, uint32_t) { return 0; }
int QueryMachineId(char*, uint32_t) { return 0; }
int ReadSetting(const char*, char*, const char*, uint32_t) { return 0; }
int WriteSetting(const char*, const char*) { return 0; }
int LoadConfiguration() { return 0; }
