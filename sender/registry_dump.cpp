#include "registry_dump.h"

#include <vector>

#include "platform/registry.h"

namespace sender {

namespace {

constexpr uint32_t kMaxValues = 4096;
constexpr uint32_t kMaxValueBytes = 1u << 20;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

RegistryDump DumpRegistryKey(const std::string& keyPath) {
  RegistryDump dump;
  dump.keyPath = keyPath;
  std::string subkey;
  static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\"};
  for (const char* root : kRoots) {
    if (StartsWith(keyPath, root)) subkey = keyPath.substr(std::string(root).size());
  }
  if (subkey.empty()) return dump;
  platform::RegKey* key = platform::RegOpenKey(subkey.c_str(), platform::RegAccess::Read);
  if (!key) return dump;
  dump.found = true;
  char name[1024];
  for (uint32_t i = 0; i < kMaxValues && platform::RegEnumValueName(key, i, name, sizeof name); ++i) {
    RegistryValue value;
    value.name = name;
    uint32_t size = 0;
    if (!platform::RegQueryValue(key, name, &value.type, nullptr, &size) || size > kMaxValueBytes) continue;
    std::vector<char> data(size + 1);
    uint32_t room = static_cast<uint32_t>(data.size());
    if (!platform::RegQueryValue(key, name, &value.type, data.data(), &room)) continue;
    value.data.assign(data.data(), room);
    dump.values.push_back(std::move(value));
  }
  platform::RegCloseKey(key);
  return dump;
}

}  // namespace sender
