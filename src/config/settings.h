#pragma once
// Settings read from the registry at start-up; every failure shows its own
// message box (caption "Quorvanta") and returns 0.
#include <cstdint>

namespace platform {
struct RegKey;
}

// Size in bytes (terminating zero included) of a REG_SZ value read; else 0.
uint32_t ReadRegistryString(platform::RegKey* key, const char* name, char* buffer, uint32_t size);
int QueryMachineId(char* buffer, uint32_t size);
int ReadSetting(const char* name, char* buffer, const char* defaultText, uint32_t size);
int WriteSetting(const char* name, const char* text);
// A machine-wide REG_DWORD switch (set by root or an administrator) read
// quietly: absent, unreadable or another type is off.
bool MachineSwitchOn(const char* name);
// Fills ConfigDirectory, ProfilePath and MachineId.
int LoadConfiguration();
