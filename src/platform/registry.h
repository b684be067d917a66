#pragma once
// The machine's settings store (the registry under HKEY_LOCAL_MACHINE): keys and
// value names are case-insensitive, values typed REG_SZ or REG_DWORD. Backed by
// a SQLite database (QUORVANTA_REGISTRY, default /var/lib/quorvanta/registry.db).
// Opening for read or read-write fails as the file's permissions say.
#include <cstdint>

namespace platform {

enum RegType : uint32_t { kRegNone = 0, kRegSz = 1, kRegDword = 4 };

enum class RegAccess { Read, ReadWrite };

struct RegKey;  // an open key

// Path of the database in use.
const char* RegistryPath();

// Opens an existing key ("SOFTWARE\Quorvanta"); nullptr on failure.
RegKey* RegOpenKey(const char* path, RegAccess access);
// Opens the key read-write, creating it (and the database) when missing.
RegKey* RegCreateKey(const char* path);
// Opens the key to write the one value `name`. Most values need write access
// to the whole store, as RegOpenKey(ReadWrite). A value that every user may
// clear (the referral code "ref" of "SOFTWARE\Quorvanta", which the program
// empties once its callback is acknowledged) can be emptied through this key
// without that access, where the store allows it; no other value can.
RegKey* RegOpenKeyToWrite(const char* path, const char* name);
void RegCloseKey(RegKey* key);

// name nullptr or "" is the key's default value. *size is in/out in bytes;
// a value longer than *size fails (with *size set to the needed length).
// A REG_SZ stored without its terminating zero is returned with one added.
bool RegQueryValue(RegKey* key, const char* name, uint32_t* type, void* data, uint32_t* size);
// Writes atomically; fails on a key opened for reading only.
bool RegSetValue(RegKey* key, const char* name, uint32_t type, const void* data, uint32_t size);
bool RegDeleteValue(RegKey* key, const char* name);
// The name of the key's value number `index` in name order ("" is the default
// value); false past the last one or when the name does not fit `size` bytes.
bool RegEnumValueName(RegKey* key, uint32_t index, char* name, uint32_t size);
// Deletes a key with its values and subkeys.
bool RegDeleteKeyTree(const char* path);

// An open key that closes itself when it goes out of scope.
class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  explicit ScopedRegKey(RegKey* key) : key_(key) {}
  ~ScopedRegKey() { reset(); }
  ScopedRegKey(ScopedRegKey&& other) noexcept : key_(other.release()) {}
  ScopedRegKey& operator=(ScopedRegKey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  RegKey* get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  RegKey* release() {
    RegKey* key = key_;
    key_ = nullptr;
    return key;
  }
  // Closes the key held now (if any) and holds key instead.
  void reset(RegKey* key = nullptr) {
    if (key_) RegCloseKey(key_);
    key_ = key;
  }

 private:
  RegKey* key_ = nullptr;
};

}  // namespace platform
