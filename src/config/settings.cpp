#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "runtime/shared_state.h"
#include "platform/environment.h"
#include "platform/message_box.h"
#include "platform/registry.h"

namespace {

constexpr const char* kProductKey = "SOFTWARE\\Quorvanta";
// The name the key gets when it has to be made; the same key, names being case-insensitive.
constexpr const char* kProductKeyCreate = "Software\\Quorvanta";
constexpr const char* kCryptographyKey = "SOFTWARE\\Microsoft\\Cryptography";
constexpr const char* kCaption = "Quorvanta";
constexpr uint32_t kMessageSize = 256;

void ShowSettingsMessage(const char* format, const char* argument = nullptr) {
  char text[kMessageSize];
  std::snprintf(text, sizeof text, format, argument);
  text[sizeof text - 1] = '\0';
  platform::ShowMessageBox(kCaption, text, platform::MessageIcon::None);
}

// Appends the system's separator unless the text already ends in one; an empty text gets one too.
void EnsureTrailingSeparator(char* text, size_t size) {
  const size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == platform::kPathSeparator) return;
  if (length + 1 < size) {
    text[length] = platform::kPathSeparator;
    text[length + 1] = '\0';
  }
}

// The product key for reading, or created read-write when it does not open.
platform::ScopedRegKey OpenOrCreateProductKey() {
  platform::ScopedRegKey key(platform::RegOpenKey(kProductKey, platform::RegAccess::Read));
  if (!key) key.reset(platform::RegCreateKey(kProductKeyCreate));
  return key;
}

bool WriteString(platform::RegKey* key, const char* name, const char* text) {
  return platform::RegSetValue(key, name, platform::kRegSz, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

}  // namespace

uint32_t ReadRegistryString(platform::RegKey* key, const char* name, char* buffer, uint32_t size) {
  uint32_t type = platform::kRegNone;
  uint32_t length = size;
  if (!platform::RegQueryValue(key, name, &type, buffer, &length)) return 0;
  return type == platform::kRegSz ? length : 0;
}

int QueryMachineId(char* buffer, uint32_t size) {
  platform::ScopedRegKey key(platform::RegOpenKey(kCryptographyKey, platform::RegAccess::Read));
  if (!key) return 0;
  uint32_t type = platform::kRegNone;
  uint32_t length = size;
  const bool ok = platform::RegQueryValue(key.get(), "MachineGuid", &type, buffer, &length);
  return ok && type == platform::kRegSz ? 1 : 0;
}

bool MachineSwitchOn(const char* name) {
  platform::ScopedRegKey key(platform::RegOpenKey(kProductKey, platform::RegAccess::Read));
  uint32_t type = platform::kRegNone;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  return key && platform::RegQueryValue(key.get(), name, &type, &value, &size) && type == platform::kRegDword &&
         size == sizeof value && value != 0;
}

int ReadSetting(const char* name, char* buffer, const char* defaultText, uint32_t size) {
  const uint32_t callerSize = size;
  platform::ScopedRegKey key = OpenOrCreateProductKey();
  if (!key) {
    ShowSettingsMessage("Error creating registry key");
    return 0;
  }
  uint32_t type = platform::kRegNone;
  uint32_t length = callerSize;
  if (platform::RegQueryValue(key.get(), name, &type, buffer, &length) && type == platform::kRegSz) return 1;
  // Missing, of another type or too long: the default takes its place.
  // Both keys close (the write key first) before any message is shown.
  platform::ScopedRegKey writeKey(platform::RegOpenKeyToWrite(kProductKey, name));
  if (!writeKey) {
    key.reset();
    ShowSettingsMessage("Failed to open the registry for writing.");
    return 0;
  }
  if (!WriteString(writeKey.get(), name, defaultText)) {
    writeKey.reset();
    key.reset();
    ShowSettingsMessage("Error reading and setting registry key %s.", name);
    return 0;
  }
  if (callerSize > 0) {
    std::snprintf(buffer, callerSize, "%s", defaultText);
  }
  return 1;
}

int WriteSetting(const char* name, const char* text) {
  platform::ScopedRegKey key = OpenOrCreateProductKey();
  if (!key) {
    ShowSettingsMessage("Error creating registry key.");
    return 0;
  }
  platform::ScopedRegKey writeKey(platform::RegOpenKeyToWrite(kProductKey, name));
  if (!writeKey) {
    key.reset();
    ShowSettingsMessage("Failed to open the registry for writing.");
    return 0;
  }
  const bool ok = WriteString(writeKey.get(), name, text);
  writeKey.reset();
  key.reset();
  if (!ok) {
    ShowSettingsMessage("Error reading and setting registry key %s.", name);
    return 0;
  }
  return 1;
}

int LoadConfiguration() {
  platform::ScopedRegKey key(platform::RegOpenKey(kProductKey, platform::RegAccess::Read));
  if (!key) {
    ShowSettingsMessage("Error opening registry for reading.");
    return 0;
  }
  char baseDirectory[kPathSize];
  const uint32_t read = ReadRegistryString(key.get(), nullptr, baseDirectory, sizeof baseDirectory);
  key.reset();
  if (read == 0) {
    ShowSettingsMessage("Error opening registry for reading.");
    return 0;
  }
  EnsureTrailingSeparator(baseDirectory, sizeof baseDirectory);

  char defaultConfig[kPathSize];
  // Bounded by the buffer: an over-long base directory is cut, as the registry sizes allow.
  if (std::snprintf(defaultConfig, sizeof defaultConfig, "%sconfig", baseDirectory) < 0) return 0;
  if (!ReadSetting("config_dir", ConfigDirectory, defaultConfig, sizeof ConfigDirectory)) return 0;
  EnsureTrailingSeparator(ConfigDirectory, sizeof ConfigDirectory);
  if (std::snprintf(ProfilePath, sizeof ProfilePath, "%sdata.vpn", ConfigDirectory) < 0) return 0;

  if (!QueryMachineId(MachineId, sizeof MachineId)) {
    ShowSettingsMessage("Error reading machine id.");
    return 0;
  }
  return 1;
}
