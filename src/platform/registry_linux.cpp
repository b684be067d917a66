#include "platform/registry.h"

// Placeholder until the SQLite store lands.
namespace platform {
const char* RegistryPath() { return ""; }
RegKey* RegOpenKey(const char*, RegAccess) { return nullptr; }
RegKey* RegCreateKey(const char*) { return nullptr; }
void RegCloseKey(RegKey*) {}
bool RegQueryValue(RegKey*, const char*, uint32_t*, void*, uint32_t*) { return false; }
bool RegSetValue(RegKey*, const char*, uint32_t, const void*, uint32_t) { return false; }
bool RegDeleteValue(RegKey*, const char*) { return false; }
bool RegDeleteKeyTree(const char*) { return false; }
}  // namespace platform
