#pragma once
// Crash reporting inside the process: install once, bracket every thread, add
// material for future reports. A crash is described in a named shared block
// and handed to the sender program CrashSender1402, which writes the report.
// Operations return 0 on success and keep a per-thread last-error text.
// Wide text is UTF-16 (char16_t); the narrow forms take UTF-8.
#include <cstdint>

// Install flags.
inline constexpr uint32_t CRASH_INST_HANDLER_MASK = 0x1FFF;
inline constexpr uint32_t CRASH_INST_SEH_EXCEPTION_HANDLER = 0x1;
inline constexpr uint32_t CRASH_INST_TERMINATE_HANDLER = 0x2;  // also SIGTERM
inline constexpr uint32_t CRASH_INST_UNEXPECTED_HANDLER = 0x4;
inline constexpr uint32_t CRASH_INST_PURE_CALL_HANDLER = 0x8;
inline constexpr uint32_t CRASH_INST_NEW_OPERATOR_ERROR_HANDLER = 0x10;
inline constexpr uint32_t CRASH_INST_INVALID_PARAMETER_HANDLER = 0x40;
inline constexpr uint32_t CRASH_INST_SIGABRT_HANDLER = 0x80;
inline constexpr uint32_t CRASH_INST_SIGFPE_HANDLER = 0x100;
inline constexpr uint32_t CRASH_INST_SIGILL_HANDLER = 0x200;
inline constexpr uint32_t CRASH_INST_SIGINT_HANDLER = 0x400;
inline constexpr uint32_t CRASH_INST_SIGSEGV_HANDLER = 0x800;
inline constexpr uint32_t CRASH_INST_DONT_SEND_REPORT = 0x8000;
inline constexpr uint32_t CRASH_INST_CLEARED_BY_REPORT = 0x10000;
inline constexpr uint32_t CRASH_INST_SEND_QUEUED_REPORTS = 0x40000;
inline constexpr uint32_t CRASH_INST_STORE_ZIP_ARCHIVES = 0x80000;

inline constexpr uint16_t kCrashInstallInfoSize = 100;
inline constexpr uint16_t kCrashInstallInfoSizeNarrow = 104;
inline constexpr uint16_t kCrashExceptionInfoSize = 44;

enum CrashExceptionType : int32_t {
  CRASH_TYPE_STRUCTURED = 0,
  CRASH_TYPE_TERMINATE = 1,
  CRASH_TYPE_UNEXPECTED = 2,
  CRASH_TYPE_PURE_CALL = 3,
  CRASH_TYPE_NEW_FAILED = 4,
  CRASH_TYPE_RESERVED = 5,
  CRASH_TYPE_INVALID_PARAMETER = 6,
  CRASH_TYPE_SIGABRT = 7,
  CRASH_TYPE_SIGFPE = 8,
  CRASH_TYPE_SIGILL = 9,
  CRASH_TYPE_SIGINT = 10,
  CRASH_TYPE_SIGSEGV = 11,
  CRASH_TYPE_SIGTERM = 12,
};

// Kinds of EmulateCrash beyond the exception types.
inline constexpr int CRASH_EMULATE_STRUCTURED_123 = 32;
inline constexpr int CRASH_EMULATE_UNCAUGHT_INT = 33;
inline constexpr int CRASH_EMULATE_STACK_OVERFLOW = 34;

// Exception codes of the structured exceptions a hardware fault stands for.
inline constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
inline constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
inline constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094;
inline constexpr uint32_t kExceptionFloatDivideByZero = 0xC000008E;
inline constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
inline constexpr uint32_t kExceptionStackBufferOverrun = 0xC0000409;
inline constexpr uint32_t kExceptionNoncontinuable = 0x1;

// The exception record and context a report points at.
struct CrashExceptionRecord {
  uint32_t code;
  uint32_t flags;
  uint64_t address;
};
struct CrashExceptionPointers {
  CrashExceptionRecord* record;
  void* context;  // the interrupted thread's ucontext
};

template <typename Char>
struct CrashInstallInfoT {
  uint16_t cb;
  const Char* appName;
  const Char* appVersion;
  const Char* emailTo;
  const Char* emailSubject;
  const Char* uploadUrl;
  const Char* senderDirectory;
  int (*legacyCrashCallback)(void*);
  int32_t senderSettings[5];
  uint32_t flags;
  const Char* privacyPolicyUrl;
  const Char* debugHelpDirectory;
  uint32_t passThroughValue;
  const Char* reportSaveDirectory;
  const Char* passThroughText;
  const Char* languageFilePath;
  const Char* extraText;
  const Char* smtpServer;
  const Char* customSenderIcon;
  const Char* smtpLogin;
  const Char* smtpPassword;
};
using CrashInstallInfo = CrashInstallInfoT<char16_t>;
using CrashInstallInfoA = CrashInstallInfoT<char>;

struct CrashExceptionInfo {
  uint16_t cb;  // 44
  CrashExceptionPointers* exceptionPointers;
  int32_t exctype;
  uint32_t code;
  uint32_t fpeSubcode;
  const char16_t* expression;
  const char16_t* function;
  const char16_t* file;
  uint32_t line;
  int32_t manual;         // non-zero: the report clears 0x10000 in the block's flags
  int32_t senderProcess;  // pid of the sender, filled by the report
};

template <typename Char>
struct CrashCallbackInfoT {
  uint16_t cb;    // 24
  int32_t stage;  // 10: before the sender starts, 20: after
  const Char* reportFolder;
  CrashExceptionInfo* exceptionInfo;
  void* userValue;
  int32_t continueExecution;
};
using CrashCallbackInfo = CrashCallbackInfoT<char16_t>;
using CrashCallbackInfoA = CrashCallbackInfoT<char>;
using CrashCallback = int (*)(CrashCallbackInfo* info);
using CrashCallbackA = int (*)(CrashCallbackInfoA* info);

inline constexpr int32_t CRASH_STAGE_BEFORE_SENDER = 10;
inline constexpr int32_t CRASH_STAGE_AFTER_SENDER = 20;
inline constexpr int CRASH_CALLBACK_CANCEL = 0;
inline constexpr int CRASH_CALLBACK_GO_ON = 1;
inline constexpr int CRASH_CALLBACK_CALL_AGAIN = 2;

inline constexpr uint32_t CRASH_FILE_OPTION_1 = 0x1;
inline constexpr uint32_t CRASH_FILE_MAY_BE_MISSING = 0x2;
inline constexpr uint32_t CRASH_FILE_OPTION_2 = 0x4;
inline constexpr uint32_t CRASH_KEY_OPTION = 0x1;

int InstallCrashHandler(const CrashInstallInfo* pInfo);
int InstallCrashHandler(const CrashInstallInfoA* pInfo);
int UninstallCrashHandler();
int InstallThreadCrashHandlers(uint32_t flags = 0);
int UninstallThreadCrashHandlers();
int GetCrashHandlerErrorMessage(char16_t* buffer, int size);
int GetCrashHandlerErrorMessage(char* buffer, int size);
int GenerateErrorReport(CrashExceptionInfo* info);
int ReportException(uint32_t code, CrashExceptionPointers* pointers);
int SetCrashCallback(CrashCallback callback, void* userValue);
int SetCrashCallback(CrashCallbackA callback, void* userValue);
int AddReportFile(const char16_t* path, const char16_t* destName, const char16_t* description, uint32_t flags);
int AddReportFile(const char* path, const char* destName, const char* description, uint32_t flags);
int AddReportProperty(const char16_t* name, const char16_t* value);
int AddReportProperty(const char* name, const char* value);
int AddReportRegistryKey(const char16_t* keyPath, const char16_t* destFile, uint32_t flags);
int AddReportRegistryKey(const char* keyPath, const char* destFile, uint32_t flags);
int AddReportScreenshot(uint32_t flags, int jpegQuality = 95);
struct CrashFrameSize {
  int32_t width;
  int32_t height;
};
int AddReportVideo(uint32_t flags, int durationMs, int frameIntervalMs, const CrashFrameSize* frameSize,
                   uintptr_t window);
int EmulateCrash(int kind);

// Outside the record: what a SIGTERM or SIGINT sent by another process does.
// Without one, such a signal takes its previous action. The function must be
// async-signal-safe.
void SetExternalQuitHandler(void (*handler)());

// The program's bounded formatting: on a null buffer, size 0 or null format it
// calls the invalid-parameter hook and returns -1.
int BoundedFormat(char* out, unsigned long size, const char* format, ...) __attribute__((format(printf, 3, 4)));
