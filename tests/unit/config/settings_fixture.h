#pragma once
// The settings tests' fixture: a settings store of the test's own, and the
// message boxes the code under test would show, captured.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/environment.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "runtime/shared_state.h"
#include "support/registry_sandbox.h"
#include "support/test_env.h"

inline std::vector<std::string> g_messages;

inline void Capture(const char* caption, const char* text, platform::MessageIcon icon) {
  g_messages.push_back(std::string(caption) + "|" + text + (icon == platform::MessageIcon::None ? "" : "|icon"));
}

inline std::string Box(const std::string& text) { return "Quorvanta|" + text; }

// A path written with "/" in the system's own separators.
inline std::string Native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = platform::kPathSeparator;
  }
  return path;
}

inline constexpr const char* kProduct = "SOFTWARE\\Quorvanta";
inline constexpr const char* kCrypto = "SOFTWARE\\Microsoft\\Cryptography";
inline constexpr const char* kGuid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = sandbox_.file();
    qvtest::SetEnv("QUORVANTA_MESSAGES", nullptr);
    platform::SetMessageBoxHandler(&Capture);
    g_messages.clear();
    std::memset(ConfigDirectory, 0, sizeof ConfigDirectory);
    std::memset(ProfilePath, 0, sizeof ProfilePath);
    std::memset(MachineId, 0, sizeof MachineId);
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr); }

  static void SetString(const char* key, const char* name, const std::string& text) {
    platform::RegKey* k = platform::RegCreateKey(key);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(platform::RegSetValue(k, name, platform::kRegSz, text.c_str(), static_cast<uint32_t>(text.size() + 1)));
    platform::RegCloseKey(k);
  }
  static void SetDword(const char* key, const char* name, uint32_t value) {
    platform::RegKey* k = platform::RegCreateKey(key);
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(platform::RegSetValue(k, name, platform::kRegDword, &value, sizeof value));
    platform::RegCloseKey(k);
  }
  // The stored REG_SZ text, or "<missing>" / "<type N>".
  static std::string Get(const char* key, const char* name) {
    platform::RegKey* k = platform::RegOpenKey(key, platform::RegAccess::Read);
    if (!k) return "<no key>";
    char buffer[1024];
    uint32_t type = 0, size = sizeof buffer;
    bool ok = platform::RegQueryValue(k, name, &type, buffer, &size);
    platform::RegCloseKey(k);
    if (!ok) return "<missing>";
    if (type != platform::kRegSz) return "<type " + std::to_string(type) + ">";
    return buffer;
  }
  void Install(const std::string& base) {
    SetString(kProduct, nullptr, base);
    SetString(kCrypto, "MachineGuid", kGuid);
  }
  static void DeleteMachineId() {
    platform::ScopedRegKey k(platform::RegOpenKey(kCrypto, platform::RegAccess::ReadWrite));
    if (k) platform::RegDeleteValue(k.get(), "MachineGuid");
  }
  qvtest::RegistrySandbox sandbox_;
  std::string db_;  // the database file where there is one
};
