#pragma once
// The crash block's layout, the one contract between the front end that
// writes it and the sender that reads it: a 212-byte header, then tagged
// records (a 3-letter tag, a zero byte, a 16-bit size), each appended where
// the last ended. Little-endian, no alignment.
#include <cstddef>
#include <cstdint>

namespace crash {

inline constexpr size_t kBlockSize = 10485760;
inline constexpr uint32_t kHeaderSize = 212;
inline constexpr uint32_t kFormatVersion = 1402;
inline constexpr size_t kMaxTextChars = 32764;  // a StringBlock's size must fit 16 bits

// Every record starts so: tag at 0, a zero byte at 3, its 16-bit size at 4.
inline constexpr uint32_t kRecordTagSize = 3, kRecordSizeField = 4, kRecordHead = 6;
inline constexpr char kHeaderTag[] = "CRD", kStringTag[] = "STR", kFileTag[] = "FIL", kPropertyTag[] = "CPR",
                      kRegKeyTag[] = "REG", kLinuxTag[] = "LNX";

// Header offsets.
namespace hdr {
inline constexpr uint32_t kHeaderSizeField = 4, kBytesUsed = 8, kVersion = 12, kFileCount = 16, kRegKeyCount = 20,
                          kPropertyCount = 24, kFlags = 28, kMailPort = 32, kSmtpPort = 36, kSenderSettings = 40,
                          kPassThroughValue = 52, kScreenshot = 56, kScreenshotFlags = 60, kJpegQuality = 64,
                          kUploadUrl = 68, kAppName = 72, kAppVersion = 76, kLanguageFile = 80, kPassThroughText = 84,
                          kEmailTo = 88, kCrashGuid = 92, kSaveDir = 96, kPrivacyUrl = 100, kSubject = 104,
                          kExtraText = 108, kSmtpServer = 112, kDbgHelpPath = 116, kCustomIcon = 120, kExePath = 124,
                          kProcessId = 128, kThreadId = 132, kExceptionType = 136, kExceptionCode = 140,
                          kExpression = 144, kFunction = 148, kFile = 152, kLine = 156, kFpeSubcode = 160,
                          kExceptionPointers = 164, kQueued = 168, kSmtpLogin = 172, kSmtpPassword = 176, kVideo = 180,
                          kVideoFlags = 184, kVideoDuration = 188, kVideoInterval = 192, kVideoWidth = 196,
                          kVideoHeight = 200, kVideoWindow = 204, kCrashOccurred = 208;
}

// A file item: its three strings follow it.
namespace file {
inline constexpr uint32_t kSize = 28, kSource = 8, kDestination = 12, kDescription = 16, kOption1 = 20, kOption2 = 24;
}
// A property item: its two strings follow it.
namespace property {
inline constexpr uint32_t kSize = 16, kName = 8, kValue = 12;
}
// A registry key item: its two strings follow it.
namespace regkey {
inline constexpr uint32_t kSize = 20, kOption = 8, kKeyPath = 12, kDestination = 16;
}
// What only Linux has to tell: the fault address, the address of the
// exception pointers, the signal, its code and the thread; appended last.
namespace linuxrecord {
inline constexpr uint32_t kSize = 40, kFaultAddress = 8, kPointers = 16, kSignal = 24, kSignalCode = 28, kThreadId = 32;
}

}  // namespace crash
