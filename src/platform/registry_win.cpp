// The machine's settings on Windows: the registry itself, under HKEY_LOCAL_MACHINE,
// in its 64-bit view whatever the program's own bitness.
#include "platform/registry.h"

#include "platform/registry_value.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// windows.h names its own functions like ours; ours are the ones meant here.
#undef RegOpenKey
#undef RegCreateKey
#undef RegQueryValue
#undef RegSetValue
#undef RegDeleteValue

namespace platform {

struct RegKey {
  HKEY handle;
  bool writable;
};

namespace {

const char* ValueName(const char* name) { return name ? name : ""; }

}  // namespace

const char* RegistryPath() { return "HKEY_LOCAL_MACHINE"; }

RegKey* RegOpenKey(const char* path, RegAccess access) {
  const bool writable = access == RegAccess::ReadWrite;
  HKEY handle;
  REGSAM sam = KEY_READ | KEY_WOW64_64KEY | (writable ? KEY_WRITE : 0);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, &handle) != ERROR_SUCCESS) return nullptr;
  return new RegKey{handle, writable};
}

// The installer's ACL on the key decides who may write its values.
RegKey* RegOpenKeyToWrite(const char* path, const char*) { return RegOpenKey(path, RegAccess::ReadWrite); }

RegKey* RegCreateKey(const char* path) {
  HKEY handle;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, &handle, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return new RegKey{handle, true};
}

void RegCloseKey(RegKey* key) {
  if (!key) return;
  ::RegCloseKey(key->handle);
  delete key;
}

bool RegQueryValue(RegKey* key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (!key) return false;
  DWORD valueType = 0, stored = 0;
  if (RegQueryValueExA(key->handle, ValueName(name), nullptr, &valueType, nullptr, &stored) != ERROR_SUCCESS)
    return false;
  // Read it whole: a string stored without its terminator is handed out with one.
  std::vector<unsigned char> bytes(stored + 1);
  DWORD got = stored;
  if (RegQueryValueExA(key->handle, ValueName(name), nullptr, &valueType, bytes.data(), &got) != ERROR_SUCCESS)
    return false;
  return HandOutValue(valueType, bytes.data(), got, type, data, size);
}

bool RegSetValue(RegKey* key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (!key || !key->writable || (size && !data)) return false;
  if (type == kRegDword && size != 4) return false;
  static const unsigned char kEmpty = 0;
  return RegSetValueExA(key->handle, ValueName(name), 0, type,
                        size ? static_cast<const BYTE*>(data) : &kEmpty, size) == ERROR_SUCCESS;
}

bool RegEnumValueName(RegKey* key, uint32_t index, char* name, uint32_t size) {
  if (!key || !name || size == 0) return false;
  // The registry enumerates in its own order; callers get the names sorted, as on every system.
  std::vector<std::string> names;
  char buffer[16384];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof buffer;
    LONG r = RegEnumValueA(key->handle, i, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return false;
    names.emplace_back(buffer, length);
  }
  if (index >= names.size()) return false;
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
  const std::string& found = names[index];
  if (found.size() >= size) return false;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return true;
}

bool RegDeleteValue(RegKey* key, const char* name) {
  if (!key || !key->writable) return false;
  return RegDeleteValueA(key->handle, ValueName(name)) == ERROR_SUCCESS;
}

bool RegDeleteKeyTree(const char* path) {
  HKEY handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS)
    return false;
  LONG r = RegDeleteTreeA(handle, nullptr);
  ::RegCloseKey(handle);
  return r == ERROR_SUCCESS && RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0) == ERROR_SUCCESS;
}

}  // namespace platform
