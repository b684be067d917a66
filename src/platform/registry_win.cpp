// The machine's settings on Windows: the registry itself, under HKEY_LOCAL_MACHINE,
// in its 64-bit view whatever the program's own bitness.
#include "platform/registry.h"

#include "platform/registry_value.h"
#include "platform/text_win.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
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

// Names and texts are UTF-8 here and UTF-16 in the registry.
std::wstring ValueName(const char* name) { return WideFromUtf8(name ? name : ""); }

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

const char* RegistryPath() { return "HKEY_LOCAL_MACHINE"; }

RegKey* RegOpenKey(const char* path, RegAccess access) {
  const bool writable = access == RegAccess::ReadWrite;
  HKEY handle;
  REGSAM sam = KEY_READ | KEY_WOW64_64KEY | (writable ? KEY_WRITE : 0);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(path).c_str(), 0, sam, &handle) != ERROR_SUCCESS) return nullptr;
  return new RegKey{handle, writable};
}

// The installer's ACL on the key decides who may write its values.
RegKey* RegOpenKeyToWrite(const char* path, const char*) { return RegOpenKey(path, RegAccess::ReadWrite); }

RegKey* RegCreateKey(const char* path) {
  HKEY handle;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
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
  const std::wstring wideName = ValueName(name);
  DWORD valueType = 0, stored = 0;
  if (RegQueryValueExW(key->handle, wideName.c_str(), nullptr, &valueType, nullptr, &stored) != ERROR_SUCCESS)
    return false;
  std::vector<unsigned char> bytes(stored + sizeof(wchar_t));
  DWORD got = stored;
  if (RegQueryValueExW(key->handle, wideName.c_str(), nullptr, &valueType, bytes.data(), &got) != ERROR_SUCCESS)
    return false;
  if (!IsText(valueType)) return HandOutValue(valueType, bytes.data(), got, type, data, size);
  // The text up to its first terminator, if it has one; handed out with one.
  std::wstring text(got / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  const std::string utf8 = Utf8FromWide(text.c_str(), text.size());
  return HandOutValue(kRegSz, utf8.data(), static_cast<uint32_t>(utf8.size()), type, data, size);
}

bool RegSetValue(RegKey* key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (!key || !key->writable || (size && !data)) return false;
  if (type == kRegDword && size != 4) return false;
  static const unsigned char kEmpty = 0;
  if (type != kRegSz)
    return RegSetValueExW(key->handle, ValueName(name).c_str(), 0, type,
                          size ? static_cast<const BYTE*>(data) : &kEmpty, size) == ERROR_SUCCESS;
  const char* text = static_cast<const char*>(data);
  size_t length = size ? strnlen(text, size) : 0;
  const std::wstring wide = WideFromUtf8(text, length);
  if (length && wide.empty()) return false;  // not UTF-8
  return RegSetValueExW(key->handle, ValueName(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                        static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegEnumValueName(RegKey* key, uint32_t index, char* name, uint32_t size) {
  if (!key || !name || size == 0) return false;
  // The registry enumerates in its own order; callers get the names sorted, as on every system.
  std::vector<std::string> names;
  std::vector<wchar_t> buffer(16384);
  for (DWORD i = 0;; ++i) {
    DWORD length = static_cast<DWORD>(buffer.size());
    LONG r = RegEnumValueW(key->handle, i, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) return false;
    names.push_back(Utf8FromWide(buffer.data(), length));
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
  return RegDeleteValueW(key->handle, ValueName(name).c_str()) == ERROR_SUCCESS;
}

bool RegDeleteKeyTree(const char* path) {
  HKEY handle;
  const std::wstring widePath = WideFromUtf8(path);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, widePath.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &handle) !=
      ERROR_SUCCESS)
    return false;
  LONG r = RegDeleteTreeW(handle, nullptr);
  ::RegCloseKey(handle);
  return r == ERROR_SUCCESS &&
         RegDeleteKeyExW(HKEY_LOCAL_MACHINE, widePath.c_str(), KEY_WOW64_64KEY, 0) == ERROR_SUCCESS;
}

}  // namespace platform
