#pragma once
// Installs crash reporting in the test process with the sender beside the
// front end, reports kept under a temporary XDG_DATA_HOME, and reads the
// block back by name as the sender would.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "crash/crash_handler.h"
#include "crash/crash_report.h"
#include "platform/shared_memory.h"
#include "support/child_process.h"

namespace crashtest {

inline const std::u16string kSenderDir = u"" QV_BINARY_DIR "/frontend";

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class CrashFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUORVANTA_OBJECT_NAMESPACE", ("-crashunit" + std::to_string(getpid())).c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    info_.cb = kCrashInstallInfoSize;
    info_.appName = u"App";
    info_.appVersion = u"1.0";
    info_.senderDirectory = kSenderDir.c_str();
    info_.flags = 0x3FFF;
  }
  void TearDown() override { UninstallCrashHandler(); }

  int Install() { return InstallCrashHandler(&info_); }

  static std::string LastError() {
    char text[512];
    GetCrashHandlerErrorMessage(text, sizeof text);
    return text;
  }

  // The current block, opened by its name for reading.
  std::unique_ptr<platform::SharedMemory> Block() const {
    crash::CCrashHandler* h = crash::g_crashHandler.load();
    return h ? platform::SharedMemory::Open(h->BlockName(), false) : nullptr;
  }
  static uint32_t U32(const unsigned char* b, uint32_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
  }
  static uint16_t U16At(const unsigned char* b, uint32_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
  // The text of the StringBlock at an offset; "<bad>" when it is not one.
  static std::string StringAt(const unsigned char* b, uint32_t at) {
    if (at < 212 || std::string(reinterpret_cast<const char*>(b + at), 3) != "STR" || b[at + 3] != 0) return "<bad>";
    std::string text;
    for (uint32_t i = 6; i < U16At(b, at + 4); i += 2) text.push_back(static_cast<char>(U16At(b, at + i)));
    return text;
  }

  qvtest::TempDir dir_;
  CrashInstallInfo info_{};
};

}  // namespace crashtest
