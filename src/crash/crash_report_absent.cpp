// The crash-reporting interface on a system whose handlers are not built yet
// (Windows, until its window arrives): installing fails with a message that
// says so, everything else reports that nothing is installed.
#include <cstdarg>
#include <cstdio>

#include "crash/crash_report.h"

namespace {

constexpr const char kNotAvailable[] = "Crash reporting is not available in this build.";

template <typename Char>
int CopyMessage(Char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  int n = 0;
  for (; n + 1 < size && kNotAvailable[n]; ++n) buffer[n] = static_cast<Char>(kNotAvailable[n]);
  buffer[n] = 0;
  return n;
}

constexpr int kFailed = 1;

}  // namespace

int InstallCrashHandler(const CrashInstallInfo*) { return kFailed; }
int InstallCrashHandler(const CrashInstallInfoA*) { return kFailed; }
int UninstallCrashHandler() { return kFailed; }
int InstallThreadCrashHandlers(uint32_t) { return kFailed; }
int UninstallThreadCrashHandlers() { return kFailed; }
int GetCrashHandlerErrorMessage(char16_t* buffer, int size) { return CopyMessage(buffer, size); }
int GetCrashHandlerErrorMessage(char* buffer, int size) { return CopyMessage(buffer, size); }
int GenerateErrorReport(CrashExceptionInfo*) { return kFailed; }
int ReportException(uint32_t, CrashExceptionPointers*) { return kFailed; }
int SetCrashCallback(CrashCallback, void*) { return kFailed; }
int SetCrashCallback(CrashCallbackA, void*) { return kFailed; }
int AddReportFile(const char16_t*, const char16_t*, const char16_t*, uint32_t) { return kFailed; }
int AddReportFile(const char*, const char*, const char*, uint32_t) { return kFailed; }
int AddReportProperty(const char16_t*, const char16_t*) { return kFailed; }
int AddReportProperty(const char*, const char*) { return kFailed; }
int AddReportRegistryKey(const char16_t*, const char16_t*, uint32_t) { return kFailed; }
int AddReportRegistryKey(const char*, const char*, uint32_t) { return kFailed; }
int AddReportScreenshot(uint32_t, int) { return kFailed; }
int AddReportVideo(uint32_t, int, int, const CrashFrameSize*, uintptr_t) { return kFailed; }
int EmulateCrash(int) { return kFailed; }
void SetExternalQuitHandler(void (*)()) {}

int BoundedFormat(char* out, unsigned long size, const char* format, ...) {
  if (!out || size == 0 || !format) return -1;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out, size, format, args);
  va_end(args);
  return n;
}
