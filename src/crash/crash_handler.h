#pragma once
// The one crash handler of the process: settings resolved at install, the
// material added since, the per-thread hook table and the crash generation
// (GUID, shared block, event) that a report hands to the sender.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "crash/crash_report.h"
#include "crash/shared_block.h"
#include "platform/named_event.h"
#include "platform/recursive_lock.h"
#include "platform/signal_handlers.h"

namespace crash {

// The ceiling of every wait for the sender's acknowledgement (the system's:
// platform::kCrashSenderWaitMs); a sender that dies or hangs must not hold the
// process for longer.
inline constexpr int kMaxThreads = 512;

// Sets the calling thread's last-error text; skipped on a crashing thread.
void SetErrorText(const char16_t* text);
void ClearErrorTexts();
void RemoveErrorText();

struct FileEntry {
  std::u16string source, dest, description;
  bool option1 = false, option2 = false;
};
struct RegKeyEntry {
  std::u16string dest;
  bool option = false;
};

// One thread's handlers, found by a signal handler without a lock.
struct ThreadEntry {
  std::atomic<int> tid{0};
  std::atomic<uint32_t> hooks{0};  // the flag bits the thread installed
  platform::AltStack stack;
};

struct Generation {
  Generation() = default;
  ~Generation();
  Generation(const Generation&) = delete;
  Generation& operator=(const Generation&) = delete;
  char guid[37] = {};
  char eventName[96] = {};
  SharedMemory block;
  std::unique_ptr<platform::NamedEvent> event;
};

class CCrashHandler {
 public:
  CCrashHandler() = default;
  virtual ~CCrashHandler();
  CCrashHandler(const CCrashHandler&) = delete;
  CCrashHandler& operator=(const CCrashHandler&) = delete;

  // Install steps 1 to 25; 0, or non-zero with the error text set.
  int Init(const CrashInstallInfo& info);
  int Destroy();

  // Per-thread handlers: 0, or 1 with the text set.
  int SetThreadHandlers(uint32_t flags);
  int UnsetThreadHandlers();
  // The calling thread's entry, or nullptr. Async-signal-safe.
  ThreadEntry* FindThread(int tid);

  // The report step (async-signal-safe but for a renewal without a spare).
  // signal is the delivered signal, or nullptr for a hook.
  int ReportStep(CrashExceptionInfo* info, const platform::SignalEvent* signal);

  int AddFile(const std::u16string* source, const std::u16string* dest, const std::u16string* description,
              uint32_t flags);
  int AddProperty(const std::u16string& name, const std::u16string& value);
  int AddRegKey(const std::u16string* key, const std::u16string* dest, uint32_t flags);
  int AddScreenshot(uint32_t flags, int quality);
  int AddVideo(uint32_t flags, int duration, int interval, const CrashFrameSize* size, uintptr_t window);

  // Runs where allocation is safe: frees a retired generation, readies a spare.
  void Tidy();
  // Removes the names of every block and event, for an end without clean-up. Async-signal-safe.
  void RemoveNames();

  uint32_t HandlerMask() const;
  // The current generation's block name (its crashGuid).
  const char* BlockName() const { return blockName_; }

  // Resolved settings.
  std::u16string appName, appVersion, exePath, uploadUrl, passThroughText, emailTo, smtpHost, smtpLogin, smtpPassword,
      subject, extraText, privacyUrl, senderPath, languageFile, dbgHelpPath, saveDir, customIcon;
  int mailPort = 25, smtpPort = 25;
  int32_t senderSettings[3] = {0, 0, 0};
  uint32_t flags = 0, passThroughValue = 0;
  int (*legacyCallback)(void*) = nullptr;

  bool screenshot = false;
  uint32_t screenshotFlags = 0;
  int jpegQuality = 95;

  bool videoAdded = false;
  uint32_t videoFlags = 0;
  int videoDuration = 60000, videoInterval = 500;
  CrashFrameSize videoSize{0, 0};
  uintptr_t videoWindow = 0;
  std::unique_ptr<platform::NamedEvent> videoEvent;
  int videoSender = -1;
  char videoEventName[128] = {};

  std::map<std::u16string, FileEntry> files;
  std::map<std::u16string, std::u16string> properties;
  std::map<std::u16string, RegKeyEntry> regKeys;

  CrashCallback callback = nullptr;
  CrashCallbackA callbackA = nullptr;
  void* callbackUser = nullptr;
  int callbackResult = 2;
  int continueExecution = 1;

  platform::SignalSafeRecursiveLock reportLock;
  bool installed = false;

  // Saved process hooks, put back at uninstall.
  platform::SavedSignalAction savedSignals[platform::kCrashSignalCount];
  void (*savedTerminate)() = nullptr;
  void (*savedNewHandler)() = nullptr;
  bool processHooksSet = false;

 private:
  bool StartGeneration();
  std::unique_ptr<Generation> MakeGeneration();
  // Writes the header and every item; async-signal-safe.
  bool BuildBlock(const SharedMemory& memory, const char* guid, bool queued);
  void UseGeneration();  // folder texts and the sender's argv; async-signal-safe
  void Renew();
  int StartSender(const char* blockName, bool wait, int* pid);
  bool WaitForAck(platform::NamedEvent* event, int pid);
  int CallCallback(int stage, CrashExceptionInfo* info);
  int VideoStep(uint32_t flags, int duration, int interval, const CrashFrameSize* size, uintptr_t window);
  bool InstallProcessHooks();
  void RemoveProcessHooks();
  bool TextFits(const std::u16string& s, const char16_t** error) const;
  bool Append(size_t bytes, const char16_t** error) const;

  std::mutex threadsLock_;
  ThreadEntry threads_[kMaxThreads];

  std::unique_ptr<Generation> current_;
  // Made ahead where allocation is safe, taken by a renewal on a crashing thread.
  std::atomic<Generation*> spare_{nullptr};
  // Left by a renewal, freed at the next safe point.
  std::atomic<Generation*> retired_{nullptr};
  std::mutex tidyLock_;
  char senderPathA_[4096] = {};
  char blockName_[64] = {};
  char* argv_[3] = {nullptr, nullptr, nullptr};
  char16_t folder_[2048] = {};
  char folderA_[4096] = {};
};

extern std::atomic<CCrashHandler*> g_crashHandler;

// The text without blanks, tabs and line ends at either end.
std::u16string Trim(const std::u16string& s);

// Text conversions between UTF-8 and UTF-16.
std::u16string Widen(const char* text);
std::string Narrow(const std::u16string& text);
// Async-signal-safe: into a fixed buffer, cut to fit.
void NarrowInto(const char16_t* text, size_t length, char* out, size_t size);

// Signal and hook dispatch (handlers.cpp).
void OnCrashSignal(const platform::SignalEvent& event);
void OnTerminate();
void OnNewHandler();
void OnPureCall();
void OnInvalidParameter(const char16_t* expression, const char16_t* function, const char16_t* file, unsigned line);
void OnUnexpected();
extern void (*g_externalQuit)();

}  // namespace crash
