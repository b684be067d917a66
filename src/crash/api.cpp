// The public operations: argument checks, the per-thread last-error texts,
// the narrow forms, and EmulateCrash.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "crash/crash_handler.h"
#include "platform/crash_process.h"
#include "runtime/thread.h"

namespace crash {

void PureCallHook();
void InvalidParameterHook(const char16_t* expression, const char16_t* function, const char16_t* file, unsigned line);

namespace {

std::mutex g_errorsLock;
std::map<int, std::u16string>* g_errors = new std::map<int, std::u16string>();  // outlives static destructors

constexpr char16_t kNotInstalled[] = u"Crash handler wasn't previously installed for current process.";

// The installed handler, or null with the last error saying there is none.
CCrashHandler* Installed() {
  CCrashHandler* h = g_crashHandler.load();
  if (!h) SetErrorText(kNotInstalled);
  return h;
}

// Work that allocates is kept off the crashing path.
void Tidy() {
  if (CCrashHandler* h = g_crashHandler.load()) h->Tidy();
}

}  // namespace

std::u16string Copy(const char16_t* text);
std::u16string Copy(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

void SetErrorText(const char16_t* text) {
  CCrashHandler* h = g_crashHandler.load();
  if (h && h->reportLock.HeldByCaller()) return;  // a crashing thread must not allocate
  std::lock_guard<std::mutex> lock(g_errorsLock);
  (*g_errors)[platform::CurrentThreadId()] = text;
}

void ClearErrorTexts() {
  std::lock_guard<std::mutex> lock(g_errorsLock);
  g_errors->clear();
}

void RemoveErrorText() {
  std::lock_guard<std::mutex> lock(g_errorsLock);
  g_errors->erase(platform::CurrentThreadId());
}

std::u16string Widen(const char* text) {
  std::u16string out;
  if (!text) return out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  while (*s) {
    uint32_t c = *s++;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= (0x3F >> extra);
    for (int i = 0; i < extra && (*s & 0xC0) == 0x80; ++i) c = (c << 6) | (*s++ & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

void NarrowInto(const char16_t* text, size_t length, char* out, size_t size) {
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    char b[4];
    int k;
    if (c < 0x80) {
      b[0] = static_cast<char>(c);
      k = 1;
    } else if (c < 0x800) {
      b[0] = static_cast<char>(0xC0 | (c >> 6));
      b[1] = static_cast<char>(0x80 | (c & 0x3F));
      k = 2;
    } else if (c < 0x10000) {
      b[0] = static_cast<char>(0xE0 | (c >> 12));
      b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (c & 0x3F));
      k = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | (c >> 18));
      b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      b[3] = static_cast<char>(0x80 | (c & 0x3F));
      k = 4;
    }
    if (n + k + 1 > size) break;
    for (int j = 0; j < k; ++j) out[n++] = b[j];
  }
  if (size) out[n] = '\0';
}

std::string Narrow(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  NarrowInto(text.data(), text.size(), out.data(), out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

}  // namespace crash

using crash::CCrashHandler;
using crash::g_crashHandler;
using crash::SetErrorText;

int InstallCrashHandler(const CrashInstallInfo* pInfo) {
  SetErrorText(u"Success.");
  if (!pInfo || pInfo->cb != kCrashInstallInfoSize) {
    SetErrorText(u"pInfo is NULL or pInfo->cb member is not valid.");
    return 1;
  }
  if (g_crashHandler.load()) {
    SetErrorText(u"Can't install crash handler to the same process twice.");
    return 2;
  }
  CCrashHandler* h = new (std::nothrow) CCrashHandler();
  if (!h) {
    SetErrorText(u"Error allocating memory for crash handler.");
    return 3;
  }
  if (h->Init(*pInfo) != 0) {
    // Keep the step's text while the half-made handler goes.
    std::u16string text;
    {
      char16_t buffer[512];
      GetCrashHandlerErrorMessage(buffer, 512);
      text = buffer;
    }
    h->installed = true;
    h->Destroy();
    delete h;
    SetErrorText(text.c_str());
    return 4;
  }
  h->Tidy();
  // Every worker started from now on has its own handlers while it runs.
  SetWorkerBrackets(
      +[] { InstallThreadCrashHandlers(0); }, +[] { UninstallThreadCrashHandlers(); });
  return 0;
}

int InstallCrashHandler(const CrashInstallInfoA* pInfo) {
  SetErrorText(u"Success.");
  if (!pInfo || pInfo->cb != kCrashInstallInfoSizeNarrow) {
    SetErrorText(u"pInfo is NULL or pInfo->cb member is not valid.");
    return 1;
  }
  std::u16string texts[18];
  int n = 0;
  auto wide = [&](const char* s) -> const char16_t* {
    if (!s) return nullptr;
    texts[n] = crash::Widen(s);
    return texts[n++].c_str();
  };
  CrashInstallInfo w{};
  w.cb = kCrashInstallInfoSize;
  w.appName = wide(pInfo->appName);
  w.appVersion = wide(pInfo->appVersion);
  w.emailTo = wide(pInfo->emailTo);
  w.emailSubject = wide(pInfo->emailSubject);
  w.uploadUrl = wide(pInfo->uploadUrl);
  w.senderDirectory = wide(pInfo->senderDirectory);
  w.legacyCrashCallback = pInfo->legacyCrashCallback;
  for (int i = 0; i < 5; ++i) w.senderSettings[i] = pInfo->senderSettings[i];
  w.flags = pInfo->flags;
  w.privacyPolicyUrl = wide(pInfo->privacyPolicyUrl);
  w.debugHelpDirectory = wide(pInfo->debugHelpDirectory);
  w.passThroughValue = pInfo->passThroughValue;
  w.reportSaveDirectory = wide(pInfo->reportSaveDirectory);
  w.passThroughText = wide(pInfo->passThroughText);
  w.languageFilePath = wide(pInfo->languageFilePath);
  w.extraText = wide(pInfo->extraText);
  w.smtpServer = wide(pInfo->smtpServer);
  w.customSenderIcon = wide(pInfo->customSenderIcon);
  w.smtpLogin = wide(pInfo->smtpLogin);
  w.smtpPassword = wide(pInfo->smtpPassword);
  return InstallCrashHandler(&w);
}

int UninstallCrashHandler() {
  SetErrorText(u"Success.");
  CCrashHandler* h = g_crashHandler.load();
  if (!h) {
    SetErrorText(u"Crash handler wasn't preiviously installed for this process.");
    return 1;
  }
  if (h->UnsetThreadHandlers() != 0) return 2;
  if (h->Destroy() != 0) return 3;
  delete h;
  crash::ClearErrorTexts();
  return 0;
}

int InstallThreadCrashHandlers(uint32_t flags) {
  SetErrorText(u"Success.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  crash::Tidy();
  return h->SetThreadHandlers(flags) == 0 ? 0 : 2;
}

int UninstallThreadCrashHandlers() {
  SetErrorText(u"Success.");
  CCrashHandler* h = g_crashHandler.load();
  if (!h) {
    SetErrorText(u"Crash handler wasn't previously installed for current thread.");
    return 1;
  }
  if (h->UnsetThreadHandlers() != 0) return 2;
  crash::RemoveErrorText();
  return 0;
}

int GetCrashHandlerErrorMessage(char16_t* buffer, int size) {
  if (!buffer || size <= 0) return -1;
  std::u16string text = u"No error.";
  {
    std::lock_guard<std::mutex> lock(crash::g_errorsLock);
    auto it = crash::g_errors->find(platform::CurrentThreadId());
    if (it != crash::g_errors->end()) text = it->second;
  }
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text.data(), n * sizeof(char16_t));
  buffer[n] = 0;
  return static_cast<int>(n);
}

int GetCrashHandlerErrorMessage(char* buffer, int size) {
  if (!buffer || size <= 0) return -1;
  std::u16string wide(static_cast<size_t>(size), u'\0');
  int result = GetCrashHandlerErrorMessage(wide.data(), size);
  crash::NarrowInto(wide.data(), static_cast<size_t>(result), buffer, static_cast<size_t>(size));
  return result;
}

int GenerateErrorReport(CrashExceptionInfo* info) {
  SetErrorText(u"Unspecified error.");
  if (!info || info->cb != kCrashExceptionInfoSize) {
    SetErrorText(u"Exception info is NULL or invalid.");
    return 1;
  }
  CCrashHandler* h = crash::Installed();
  if (!h) return 2;
  h->reportLock.Lock();
  int result = h->ReportStep(info, nullptr);
  h->reportLock.Unlock();
  static const char16_t* const kTexts[] = {u"Success.", u"Exception info is NULL.",
                                           u"The operation was cancelled by client.",
                                           u"Error launching CrashSender.exe"};
  SetErrorText(kTexts[result]);
  crash::Tidy();
  return result;
}

int ReportException(uint32_t code, CrashExceptionPointers* pointers) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 0;
  CrashExceptionInfo info{};
  info.cb = kCrashExceptionInfoSize;
  info.exctype = CRASH_TYPE_STRUCTURED;
  info.code = code;
  info.exceptionPointers = pointers;
  h->reportLock.Lock();
  int result = h->ReportStep(&info, nullptr);
  h->reportLock.Unlock();
  crash::Tidy();
  if (result != 0) return 0;
  SetErrorText(u"Success.");
  return 1;
}

int SetCrashCallback(CrashCallback callback, void* userValue) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  h->callback = callback;
  h->callbackUser = userValue;
  SetErrorText(u"Success.");
  return 0;
}

int SetCrashCallback(CrashCallbackA callback, void* userValue) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  h->callbackA = callback;
  h->callbackUser = userValue;
  SetErrorText(u"Success.");
  return 0;
}

int AddReportFile(const char16_t* path, const char16_t* destName, const char16_t* description, uint32_t flags) {
  SetErrorText(u"Success.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  crash::Tidy();
  std::u16string source = crash::Copy(path), dest = crash::Copy(destName), text = crash::Copy(description);
  return h->AddFile(path ? &source : nullptr, destName ? &dest : nullptr, description ? &text : nullptr, flags);
}

int AddReportFile(const char* path, const char* destName, const char* description, uint32_t flags) {
  std::u16string a = crash::Widen(path), b = crash::Widen(destName), c = crash::Widen(description);
  return AddReportFile(path ? a.c_str() : nullptr, destName ? b.c_str() : nullptr, description ? c.c_str() : nullptr,
                       flags);
}

int AddReportProperty(const char16_t* name, const char16_t* value) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  crash::Tidy();
  return h->AddProperty(crash::Copy(name), crash::Copy(value));
}

int AddReportProperty(const char* name, const char* value) {
  std::u16string a = crash::Widen(name), b = crash::Widen(value);
  return AddReportProperty(name ? a.c_str() : nullptr, value ? b.c_str() : nullptr);
}

int AddReportRegistryKey(const char16_t* keyPath, const char16_t* destFile, uint32_t flags) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  crash::Tidy();
  std::u16string key = crash::Copy(keyPath), dest = crash::Copy(destFile);
  int result = h->AddRegKey(keyPath ? &key : nullptr, destFile ? &dest : nullptr, flags);
  if (result != 0) SetErrorText(u"Invalid parameter or key doesn't exist.");
  return result;
}

int AddReportRegistryKey(const char* keyPath, const char* destFile, uint32_t flags) {
  std::u16string a = crash::Widen(keyPath), b = crash::Widen(destFile);
  return AddReportRegistryKey(keyPath ? a.c_str() : nullptr, destFile ? b.c_str() : nullptr, flags);
}

int AddReportScreenshot(uint32_t flags, int jpegQuality) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  return h->AddScreenshot(flags, jpegQuality);
}

int AddReportVideo(uint32_t flags, int durationMs, int frameIntervalMs, const CrashFrameSize* frameSize,
                   uintptr_t window) {
  SetErrorText(u"Unspecified error.");
  CCrashHandler* h = crash::Installed();
  if (!h) return 1;
  return h->AddVideo(flags, durationMs, frameIntervalMs, frameSize, window);
}

void SetExternalQuitHandler(void (*handler)()) { crash::g_externalQuit = handler; }

int BoundedFormat(char* out, unsigned long size, const char* format, ...) {
  if (!out || size == 0 || !format) {
    crash::InvalidParameterHook(!format ? u"format != nullptr" : u"out != nullptr && size != 0", u"BoundedFormat",
                                u"" __FILE__, __LINE__);
    return -1;
  }
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out, size, format, args);
  va_end(args);
  return n;
}

// EmulateCrash: each kind reaches the hook its kind names.
namespace crash {

// Outside an anonymous namespace, so the compiler cannot know every override
// and must call through the object's table while CBase is being destroyed.
struct CBase;
void CallPure(CBase* object);

struct CBase {
  virtual ~CBase() { CallPure(this); }
  virtual void Function() = 0;
};

struct CDerived : CBase {
  void Function() override {}
};

[[gnu::noipa]] void CallPure(CBase* object) { object->Function(); }

}  // namespace crash

namespace {

[[gnu::noipa]] void ThrowInt() { throw 13; }

[[gnu::noipa]] void Uncaught() noexcept { ThrowInt(); }

[[gnu::noipa]] int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth < 0) return frame[0];
  return Recurse(depth + 1) + frame[1];
}

// The structured exception a raise would hand to the process filter.
int RaiseStructured(uint32_t code, uint32_t flags) {
  CCrashHandler* h = g_crashHandler.load();
  if (!h || !(h->HandlerMask() & CRASH_INST_SEH_EXCEPTION_HANDLER)) return 1;
  CrashExceptionRecord record{code, flags, 0};
  CrashExceptionPointers pointers{&record, nullptr};
  CrashExceptionInfo info{};
  info.cb = kCrashExceptionInfoSize;
  info.exctype = CRASH_TYPE_STRUCTURED;
  info.code = code;
  info.exceptionPointers = &pointers;
  h->reportLock.Lock();
  h->continueExecution = 0;
  h->ReportStep(&info, nullptr);
  // A non-continuable exception ends the process whatever the callback said.
  h->RemoveNames();
  platform::ExitNow(1);
}

int RaiseAndReport(platform::CrashSignal signal, const char16_t* text) {
  int result = platform::RaiseCrashSignal(signal);
  SetErrorText(text);
  return result;
}

}  // namespace

int EmulateCrash(int kind) {
  SetErrorText(u"Unspecified error.");
  switch (kind) {
    case CRASH_TYPE_STRUCTURED: {
      volatile int* volatile pointer = nullptr;
      *pointer = 0;
      return 1;
    }
    case CRASH_TYPE_TERMINATE:
      std::terminate();
    case CRASH_TYPE_UNEXPECTED:
      // unexpected() left the language; its slot is still called here.
      crash::OnUnexpected();
      return 1;
    case CRASH_TYPE_PURE_CALL: {
      crash::CDerived derived;
      return 1;
    }
    case CRASH_TYPE_NEW_FAILED: {
      volatile size_t huge = static_cast<size_t>(-1) / 4;
      try {
        void* p = ::operator new(huge);
        ::operator delete(p);
      } catch (const std::bad_alloc&) {
      }
      return 1;
    }
    case CRASH_TYPE_RESERVED: {
      // A bounded copy that finds its text too long for the buffer.
      char buffer[10];
      const char* text = "This string is longer than 10 characters!!";
      if (std::strlen(text) >= sizeof buffer)
        return RaiseStructured(kExceptionStackBufferOverrun, kExceptionNoncontinuable);
      std::memcpy(buffer, text, std::strlen(text) + 1);
      return 1;
    }
    case CRASH_TYPE_INVALID_PARAMETER: {
      char buffer[16];
      const char* volatile format = nullptr;
      // Called through a pointer: a null format is the point here, and hardened
      // builds refuse a non-literal format on a direct call.
      int (*const volatile format_into)(char*, unsigned long, const char*, ...) = BoundedFormat;
      format_into(buffer, sizeof buffer, format);
      return 1;
    }
    case CRASH_TYPE_SIGABRT:
      std::abort();
    case CRASH_TYPE_SIGFPE: {
      platform::TrapFloatDivide();
      volatile double a = 1.0, b = 0.0;
      volatile double c = a / b;
      (void)c;
      return 1;
    }
    case CRASH_TYPE_SIGILL:
      return RaiseAndReport(platform::CrashSignal::Ill, u"Error raising SIGILL.");
    case CRASH_TYPE_SIGINT:
      return RaiseAndReport(platform::CrashSignal::Int, u"Error raising SIGINT.");
    case CRASH_TYPE_SIGSEGV:
      return RaiseAndReport(platform::CrashSignal::Segv, u"Error raising SIGSEGV.");
    case CRASH_TYPE_SIGTERM:
      return RaiseAndReport(platform::CrashSignal::Term, u"Error raising SIGTERM.");
    case CRASH_EMULATE_STRUCTURED_123:
      return RaiseStructured(123, kExceptionNoncontinuable);
    case CRASH_EMULATE_UNCAUGHT_INT:
      Uncaught();
      return 1;
    case CRASH_EMULATE_STACK_OVERFLOW:
      return Recurse(0);
    default:
      SetErrorText(u"Unknown exception type specified.");
      return 1;
  }
}
