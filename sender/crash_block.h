#pragma once
// The crash block as the sender sees it: a pure, bounded reader over a private
// copy of the bytes. Nothing here trusts the block; every offset is checked
// before it is read, and names that become paths are checked before use.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/block_layout.h"

namespace sender {

inline constexpr size_t kHeaderSize = crash::kHeaderSize;
inline constexpr uint32_t kBlockVersion = crash::kFormatVersion;
inline constexpr size_t kBlockSize = crash::kBlockSize;

// Install flags the sender reads.
inline constexpr uint32_t kFlagOfferQueued = 0x2000;  // offer queued reports for sending
inline constexpr uint32_t kFlagDontSend = 0x8000;     // keep reports, never send
inline constexpr uint32_t kFlagStoreArchives = 0x80000;

struct FileItem {
  std::string source;  // a path, or a pattern with "*" or "?"
  std::string destination;
  std::string description;
  int32_t option1 = 0;
  int32_t option2 = 0;
};

struct PropertyItem {
  std::string name;
  std::string value;
};

struct RegKeyItem {
  int32_t option = 0;
  std::string keyPath;
  std::string destination;
};

// The record the report step appends last on this platform.
struct LinuxRecord {
  bool present = false;
  uint64_t faultAddress = 0;
  uint64_t exceptionPointers = 0;
  int32_t signal = 0;
  int32_t signalCode = 0;
  int32_t threadId = 0;
};

struct CrashBlock {
  uint32_t bytesUsed = 0;
  uint32_t flags = 0;
  uint32_t mailPort = 0;
  uint32_t smtpPort = 0;
  int32_t senderSettings[3] = {0, 0, 0};
  uint32_t passThroughValue = 0;
  uint32_t screenshot = 0;
  uint32_t screenshotFlags = 0;
  uint32_t screenshotQuality = 0;

  std::string uploadUrl, appName, appVersion, languageFile, passThroughText, emailTo, crashGuid, saveDirectory,
      privacyUrl, emailSubject, extraText, smtpServer, debugHelpPath, customIcon, executablePath, smtpLogin,
      smtpPassword;

  uint32_t processId = 0;
  uint32_t threadId = 0;
  int32_t exceptionType = 0;
  uint32_t exceptionCode = 0;
  std::string expression, function, sourceFile;
  uint32_t sourceLine = 0;
  uint32_t fpeSubcode = 0;
  uint32_t exceptionPointers = 0;
  uint32_t queuedReports = 0;
  uint32_t video = 0;
  uint32_t videoFlags = 0, videoDuration = 0, videoInterval = 0, videoWidth = 0, videoHeight = 0;
  uint32_t videoWindow = 0;
  uint32_t crashOccurred = 0;

  std::vector<FileItem> files;
  std::vector<PropertyItem> properties;
  std::vector<RegKeyItem> keys;
  LinuxRecord lnx;

  // Set when the record walk stopped early; what was read before stays usable.
  std::string damage;
};

// Reads a block of `size` bytes. false with a reason when the header is not a
// crash block of this version or a text the report cannot do without is bad.
bool ParseCrashBlock(const unsigned char* data, size_t size, CrashBlock* block, std::string* error);

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const unsigned char* data, size_t units);

// 8-4-4-4-12 hexadecimal digits.
bool LooksLikeGuid(const std::string& text);

// A name that can be created inside a folder and nowhere else: not empty, not
// "." or "..", no "/" or "\", no control character, at most 255 bytes.
bool IsSafeFileName(const std::string& name);

// A folder name made from outside text: "/", "\" and control characters become
// "_", a name of only dots becomes "_", and it is cut to 200 bytes.
std::string SanitizeFolderName(const std::string& text);

}  // namespace sender
