#pragma once
// Test helpers for the settings store through the platform layer: values set
// and read, and keys saved before a test changes them and put back after it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace qvtest {

inline constexpr const char* kProductKey = "SOFTWARE\\Quorvanta";
inline constexpr const char* kCryptographyKey = "SOFTWARE\\Microsoft\\Cryptography";

struct Value {
  std::string name;
  uint32_t type;
  std::vector<char> data;
};

// Every value of a key, to put back as it was after the test. A key of our
// own goes first, with whatever the test added; a system key keeps the rest.
class SavedKey {
 public:
  SavedKey(const char* path, bool ours) : path_(path), ours_(ours) {
    platform::ScopedRegKey key(platform::RegOpenKey(path, platform::RegAccess::Read));
    existed_ = static_cast<bool>(key);
    char name[256];
    for (uint32_t i = 0; key && platform::RegEnumValueName(key.get(), i, name, sizeof name); ++i) {
      Value v{name, 0, std::vector<char>(4096)};
      uint32_t size = static_cast<uint32_t>(v.data.size());
      if (platform::RegQueryValue(key.get(), name, &v.type, v.data.data(), &size)) {
        v.data.resize(size);
        values_.push_back(v);
      }
    }
  }
  ~SavedKey() {
    if (ours_) platform::RegDeleteKeyTree(path_);
    if (!existed_) return;
    platform::ScopedRegKey key(platform::RegCreateKey(path_));
    for (const Value& v : values_)
      platform::RegSetValue(key.get(), v.name.c_str(), v.type, v.data.data(), static_cast<uint32_t>(v.data.size()));
  }

 private:
  const char* path_;
  bool ours_;
  bool existed_ = false;
  std::vector<Value> values_;
};

inline void SetString(const char* path, const char* name, const std::string& text) {
  platform::ScopedRegKey key(platform::RegCreateKey(path));
  ASSERT_TRUE(key);
  ASSERT_TRUE(
      platform::RegSetValue(key.get(), name, platform::kRegSz, text.c_str(), static_cast<uint32_t>(text.size() + 1)));
}

inline std::string GetString(const char* path, const char* name) {
  platform::ScopedRegKey key(platform::RegOpenKey(path, platform::RegAccess::Read));
  if (!key) return "(no key)";
  char text[512] = {};
  uint32_t type = 0, size = sizeof text;
  const bool ok = platform::RegQueryValue(key.get(), name, &type, text, &size);
  return ok ? text : "(no value)";
}

inline void DeleteValue(const char* path, const char* name) {
  platform::ScopedRegKey key(platform::RegOpenKey(path, platform::RegAccess::ReadWrite));
  if (key) platform::RegDeleteValue(key.get(), name);
}

}  // namespace qvtest
