#include "crash/crash_handler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include "platform/crash_process.h"
#include "platform/registry.h"

namespace crash {

std::atomic<CCrashHandler*> g_crashHandler{nullptr};

namespace {

constexpr char16_t kSenderFileName[] = u"CrashSender1402";
constexpr char16_t kLanguageFileName[] = u"crashreport_lang.ini";
// The symbolizer library the sender uses on this platform.
constexpr char16_t kDebugHelpLibrary[] = u"libdw.so.1";

std::u16string Given(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string Trim(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r' || s[b] == u'\n')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r' || s[e - 1] == u'\n')) --e;
  return s.substr(b, e - b);
}

// Splits "host:port"; the port stays as it is when there is no colon.
void SplitPort(const std::u16string& text, std::u16string* host, int* port) {
  size_t colon = text.find(u':');
  if (colon == std::u16string::npos) {
    *host = text;
    return;
  }
  *host = text.substr(0, colon);
  *port = std::atoi(Narrow(text.substr(colon + 1)).c_str());
}

std::u16string DirectoryOf(const std::u16string& path) {
  size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
}

std::u16string WithSlash(std::u16string dir) {
  if (dir.empty() || dir.back() != u'/') dir += u'/';
  return dir;
}

// The value of a key of a section of an initialisation file; empty when absent.
std::string ReadIniValue(const std::string& path, const char* section, const char* key) {
  std::ifstream in(path);
  std::string line;
  bool inSection = false;
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  auto trim = [](std::string s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  };
  while (std::getline(in, line)) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      size_t end = t.find(']');
      inSection = end != std::string::npos && lower(trim(t.substr(1, end - 1))) == lower(section);
      continue;
    }
    if (!inSection) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos || lower(trim(t.substr(0, eq))) != lower(key)) continue;
    std::string value = trim(t.substr(eq + 1));
    if (value.size() > 1024) value.resize(1024);
    return value;
  }
  return {};
}

// Makes every missing part of the path, owner-only: reports may hold private data.
bool CreateDirectories(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path whole(path);
  fs::path part;
  for (const auto& piece : whole) {
    part /= piece;
    if (part == whole.root_path()) continue;
    if (!fs::exists(part, ec)) {
      if (!fs::create_directory(part, ec) && !fs::is_directory(part, ec)) return false;
      fs::permissions(part, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    if (!fs::is_directory(part, ec)) return false;
  }
  return true;
}

}  // namespace

// Events are names in /dev/shm: they go with their generation.
Generation::~Generation() {
  if (eventName[0]) platform::RemoveNamedEvent(eventName);
}

void CCrashHandler::RemoveNames() {
  for (const Generation* g : {current_.get(), spare_.load(), retired_.load()}) {
    if (!g) continue;
    platform::RemoveSharedMemory(g->guid);
    platform::RemoveNamedEvent(g->eventName);
  }
  if (videoEventName[0]) platform::RemoveNamedEvent(videoEventName);
}

CCrashHandler::~CCrashHandler() {
  if (installed) Destroy();
  delete spare_.exchange(nullptr);
  delete retired_.exchange(nullptr);
  for (auto& t : threads_) {
    // Only the calling thread's stack can be freed; others stay with their threads.
    if (t.tid.load() == platform::CurrentThreadId()) platform::RemoveAltStack(&t.stack);
  }
}

uint32_t CCrashHandler::HandlerMask() const {
  return (flags & CRASH_INST_HANDLER_MASK) ? (flags & CRASH_INST_HANDLER_MASK) : CRASH_INST_HANDLER_MASK;
}

int CCrashHandler::Init(const CrashInstallInfo& info) {
  SetErrorText(u"Unspecified error.");
  flags = info.flags;
  passThroughValue = info.passThroughValue;
  legacyCallback = info.legacyCrashCallback;

  char exe[4096] = {};
  platform::ExecutablePath(exe, sizeof exe);
  exePath = Widen(exe);

  appName = Given(info.appName);
  if (appName.empty()) {
    std::u16string file = exePath.substr(exePath.rfind(u'/') + 1);
    appName = file.substr(0, file.find(u'.'));
  }
  appVersion = Given(info.appVersion);
  if (appVersion.empty()) appVersion = Widen(QV_VERSION);  // the build's version stands for the resource
  if (appVersion.empty()) {
    SetErrorText(u"Application version is not specified.");
    return 1;
  }

  customIcon = Given(info.customSenderIcon);
  size_t comma = customIcon.find(u',');
  if (comma != std::u16string::npos) {
    std::u16string index = Trim(customIcon.substr(comma + 1));
    if (std::atoi(Narrow(index).c_str()) == -1) {
      SetErrorText(u"Invalid index of custom icon (it should not equal to -1).");
      return 1;
    }
  }

  uploadUrl = Given(info.uploadUrl);

  if ((flags & CRASH_INST_STORE_ZIP_ARCHIVES) && !(flags & CRASH_INST_DONT_SEND_REPORT)) {
    SetErrorText(u"The flag CRASH_INST_STORE_ZIP_ARCHIVES should be used with CRASH_INST_DONT_SEND_REPORT flag.");
    return 1;
  }

  passThroughText = Given(info.passThroughText);
  mailPort = 25;
  SplitPort(Given(info.emailTo), &emailTo, &mailPort);
  smtpPort = 25;
  SplitPort(Given(info.smtpServer), &smtpHost, &smtpPort);
  if (info.smtpLogin && *info.smtpLogin) {
    smtpLogin = info.smtpLogin;
    smtpPassword = Given(info.smtpPassword);
  }

  subject = Given(info.emailSubject);
  if (subject.empty()) subject = appName + u" " + appVersion + u" Error Report";

  extraText = Given(info.extraText);
  for (int i = 0; i < 3; ++i) senderSettings[i] = info.senderSettings[i];
  privacyUrl = Given(info.privacyPolicyUrl);

  const std::u16string exeDir = DirectoryOf(exePath);
  const std::u16string senderDir = WithSlash(info.senderDirectory && *info.senderDirectory
                                                 ? std::u16string(info.senderDirectory)
                                                 : exeDir);
  senderPath = senderDir + kSenderFileName;
  if (!platform::ReadableFile(Narrow(senderPath).c_str())) {
    SetErrorText(u"CrashSender.exe is not found in the specified path.");
    return 1;
  }

  languageFile = info.languageFilePath && *info.languageFilePath ? std::u16string(info.languageFilePath)
                                                                 : senderDir + kLanguageFileName;
  std::string version = ReadIniValue(Narrow(languageFile), "Settings", "CrashReportVersion");
  if (std::atoi(version.c_str()) != 1402) {
    SetErrorText(u"Missing language file or wrong language file version.");
    return 1;
  }

  std::u16string helpDir = WithSlash(info.debugHelpDirectory && *info.debugHelpDirectory
                                         ? std::u16string(info.debugHelpDirectory)
                                         : exeDir);
  if (!platform::ProbeLibrary(Narrow(helpDir + kDebugHelpLibrary).c_str())) {
    helpDir.clear();
    if (!platform::ProbeLibrary(Narrow(kDebugHelpLibrary).c_str())) {
      SetErrorText(u"Couldn't load dbghelp.dll.");
      return 1;
    }
  }
  dbgHelpPath = helpDir + kDebugHelpLibrary;

  if (info.reportSaveDirectory && *info.reportSaveDirectory) {
    saveDir = info.reportSaveDirectory;
  } else {
    std::string data;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
      data = xdg;
    } else {
      char home[4096];
      if (platform::HomeDirectory(home, sizeof home)) data = std::string(home) + "/.local/share";
    }
    if (data.empty() || !CreateDirectories(data)) {
      SetErrorText(u"Couldn't create crash report directory.");
      return 1;
    }
    saveDir = Widen(data.c_str()) + u"/CrashReport/UnsentCrashReports/" + appName + u"_" + appVersion;
  }
  if (!CreateDirectories(Narrow(saveDir))) {
    SetErrorText(u"Couldn't create crash report directory.");
    return 1;
  }

  // Every header text must fit a StringBlock.
  for (const std::u16string* s : {&appName, &appVersion, &exePath, &languageFile, &dbgHelpPath,
                                  &passThroughText, &privacyUrl, &saveDir, &customIcon, &uploadUrl,
                                  &emailTo, &subject, &extraText, &smtpHost, &smtpLogin, &smtpPassword}) {
    if (s->size() > kMaxTextChars) {
      SetErrorText(u"A setting is longer than 32764 characters.");
      return 1;
    }
  }
  std::snprintf(senderPathA_, sizeof senderPathA_, "%s", Narrow(senderPath).c_str());
  if (Narrow(senderPath).size() >= sizeof senderPathA_) {
    SetErrorText(u"CrashSender.exe is not found in the specified path.");
    return 1;
  }

  if (!StartGeneration()) return 1;

  g_crashHandler.store(this);
  if (!InstallProcessHooks()) {
    SetErrorText(u"Couldn't set C++ exception handlers for current process.");
    return 1;
  }
  if (SetThreadHandlers(flags) != 0) {
    SetErrorText(u"Couldn't set C++ exception handlers for main execution thread.");
    return 1;
  }

  if (flags & CRASH_INST_SEND_QUEUED_REPORTS) {
    // The queued-reports block names the same generation, so the sender answers on its event.
    SharedMemory queued;
    char name[64];
    std::snprintf(name, sizeof name, "%s-tmp", current_->guid);
    int pid = -1;
    if (!queued.Create(name, kBlockSize) || !BuildBlock(queued, current_->guid, true) ||
        StartSender(name, true, &pid) != 0) {
      SetErrorText(u"Couldn't launch CrashSender.exe process.");
      return 1;
    }
    if (platform::ChildRunning(pid)) {
      // The sender goes on with its listing; reap it whenever it ends.
      std::thread([pid] { platform::ReapChild(pid); }).detach();
    }
  }

  installed = true;
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::Destroy() {
  if (!installed) {
    SetErrorText(u"Can't destroy not initialized crash handler.");
    return 1;
  }
  if (videoAdded && videoEvent && current_ && current_->event) {
    videoEvent->Set();
    WaitForAck(current_->event.get(), videoSender);
  }
  videoEvent.reset();
  if (videoSender > 0 && !platform::ChildRunning(videoSender)) videoSender = -1;
  RemoveProcessHooks();
  { std::lock_guard<std::mutex> lock(threadsLock_); }
  if (current_) current_->event.reset();
  g_crashHandler.store(nullptr);
  installed = false;
  SetErrorText(u"Success.");
  return 0;
}

std::unique_ptr<Generation> CCrashHandler::MakeGeneration() {
  auto g = std::make_unique<Generation>();
  if (!platform::NewGuid(g->guid)) {
    SetErrorText(u"Couldn't initialize shared memory.");
    return nullptr;
  }
  std::snprintf(g->eventName, sizeof g->eventName, "Local\\CrashReportEvent_%s", g->guid);
  g->event = platform::NamedEvent::Create(g->eventName, platform::EventReset::Auto, false);
  if (!g->event) {
    SetErrorText(u"Couldn't create synchronization event.");
    return nullptr;
  }
  if (!g->block.Create(g->guid, kBlockSize)) {
    SetErrorText(u"Couldn't initialize shared memory.");
    return nullptr;
  }
  return g;
}

bool CCrashHandler::StartGeneration() {
  continueExecution = 1;
  callbackResult = 2;
  auto g = MakeGeneration();
  if (!g) return false;
  if (current_) platform::RemoveNamedEvent(current_->eventName);
  current_ = std::move(g);
  UseGeneration();
  if (!BuildBlock(current_->block, current_->guid, false)) {
    SetErrorText(u"Couldn't create shared memory view.");
    return false;
  }
  return true;
}

void CCrashHandler::Tidy() {
  std::lock_guard<std::mutex> lock(tidyLock_);
  delete retired_.exchange(nullptr);
  if (!spare_.load() && installed) spare_.store(MakeGeneration().release());
}

void CCrashHandler::Renew() {
  continueExecution = 1;
  callbackResult = 2;
  if (Generation* spare = spare_.exchange(nullptr)) {
    // Nothing is freed here: the old generation waits for the next safe point
    // (an older one still waiting is left to the process's end).
    Generation* old = current_.release();
    if (Generation* expected = nullptr; !retired_.compare_exchange_strong(expected, old)) {
      platform::RemoveSharedMemory(old->guid);
      platform::RemoveNamedEvent(old->eventName);
    }
    current_.reset(spare);
    UseGeneration();
    BuildBlock(current_->block, current_->guid, false);
  } else {
    StartGeneration();  // no spare made yet: renewal allocates
  }
}

void CCrashHandler::UseGeneration() {
  std::snprintf(blockName_, sizeof blockName_, "%s", current_->guid);
  argv_[0] = senderPathA_;
  argv_[1] = blockName_;
  argv_[2] = nullptr;
  // "<save dir>/<app>_<version>/<guid>", built without allocating.
  size_t n = 0;
  auto put = [&](const char16_t* s, size_t len) {
    for (size_t i = 0; i < len && n + 1 < sizeof folder_ / sizeof folder_[0]; ++i) folder_[n++] = s[i];
  };
  put(saveDir.data(), saveDir.size());
  put(u"/", 1);
  put(appName.data(), appName.size());
  put(u"_", 1);
  put(appVersion.data(), appVersion.size());
  put(u"/", 1);
  for (int i = 0; i < 36 && n + 1 < sizeof folder_ / sizeof folder_[0]; ++i)
    folder_[n++] = static_cast<char16_t>(current_->guid[i]);
  folder_[n] = 0;
  NarrowInto(folder_, n, folderA_, sizeof folderA_);
}

bool CCrashHandler::BuildBlock(const SharedMemory& memory, const char* guid, bool queued) {
  BlockWriter w(memory);
  unsigned char* h = w.Header();
  if (!h) return false;
  std::memset(h, 0, kHeaderSize);
  std::memcpy(h, kHeaderTag, kRecordTagSize);
  h[hdr::kHeaderSizeField] = static_cast<unsigned char>(kHeaderSize);
  w.Put32(hdr::kBytesUsed, kHeaderSize);
  w.Put32(hdr::kVersion, kFormatVersion);
  w.Put32(hdr::kFlags, flags);
  w.Put32(hdr::kPassThroughValue, passThroughValue);
  w.Put32(hdr::kMailPort, static_cast<uint32_t>(mailPort));
  w.Put32(hdr::kSmtpPort, static_cast<uint32_t>(smtpPort));
  w.Put32(hdr::kScreenshot, screenshot ? 1 : 0);
  w.Put32(hdr::kScreenshotFlags, screenshotFlags);
  w.Put32(hdr::kJpegQuality, static_cast<uint32_t>(jpegQuality));
  for (int i = 0; i < 3; ++i) w.Put32(hdr::kSenderSettings + 4 * i, static_cast<uint32_t>(senderSettings[i]));
  w.Put32(hdr::kVideo, videoAdded ? 1 : 0);
  w.Put32(hdr::kVideoWindow, static_cast<uint32_t>(videoWindow));
  w.Put32(hdr::kProcessId, static_cast<uint32_t>(platform::CurrentProcessId()));
  w.Put32(hdr::kQueued, queued ? 1 : 0);
  w.Put32(hdr::kCrashOccurred, 0);

  char16_t guidText[36];
  for (int i = 0; i < 36; ++i) guidText[i] = static_cast<char16_t>(guid[i]);
  const struct {
    uint32_t field;
    Text text;
  } strings[] = {
      {hdr::kAppName, appName},           {hdr::kAppVersion, appVersion},
      {hdr::kCrashGuid, Text(guidText, 36)}, {hdr::kExePath, exePath},
      {hdr::kLanguageFile, languageFile}, {hdr::kDbgHelpPath, dbgHelpPath},
      {hdr::kPassThroughText, passThroughText}, {hdr::kPrivacyUrl, privacyUrl},
      {hdr::kSaveDir, saveDir},           {hdr::kCustomIcon, customIcon},
      {hdr::kUploadUrl, uploadUrl},       {hdr::kEmailTo, emailTo},
      {hdr::kSubject, subject},           {hdr::kExtraText, extraText},
      {hdr::kSmtpServer, smtpHost},       {hdr::kSmtpLogin, smtpLogin},
      {hdr::kSmtpPassword, smtpPassword},
  };
  for (const auto& s : strings) {
    uint32_t offset = w.AppendString(s.text);
    if (!offset) return false;
    w.Put32(s.field, offset);
  }
  // Iterating the maps reads them only: safe on a crashing thread.
  for (const auto& [name, f] : files) w.AppendFile(f.source, f.dest, f.description, f.option1, f.option2);
  for (const auto& [name, value] : properties) w.AppendProperty(name, value);
  for (const auto& [key, r] : regKeys) w.AppendRegKey(key, r.dest, r.option);
  return true;
}

bool CCrashHandler::WaitForAck(platform::NamedEvent* event, int pid) {
  if (!event) return false;
  // The event cannot be waited on together with the sender's end, so the
  // wait goes in short slices and looks at the sender between them.
  const long deadline = platform::MonotonicMs() + kSenderWaitMs;
  for (;;) {
    if (event->Wait(50)) return true;
    if (pid > 0 && !platform::ChildRunning(pid)) return event->Wait(0);
    if (platform::MonotonicMs() >= deadline) return false;
  }
}

int CCrashHandler::StartSender(const char* blockName, bool wait, int* pid) {
  char name[64];
  std::snprintf(name, sizeof name, "%s", blockName);
  char* argv[3] = {senderPathA_, name, nullptr};
  int child = platform::SpawnSignalSafe(senderPathA_, argv);
  if (child < 0) return 1;
  // Under Yama the sender may only read this process when asked to.
  platform::AllowTracer(child);
  if (wait) WaitForAck(current_->event.get(), child);
  if (pid) *pid = child;
  return 0;
}

int CCrashHandler::CallCallback(int stage, CrashExceptionInfo* info) {
  if (callbackResult != 2) return 1;
  if (callback) {
    CrashCallbackInfo ci{24, stage, folder_, info, callbackUser, continueExecution};
    callbackResult = callback(&ci);
    continueExecution = ci.continueExecution;
  } else if (callbackA) {
    CrashCallbackInfoA ci{24, stage, folderA_, info, callbackUser, continueExecution};
    callbackResult = callbackA(&ci);
    continueExecution = ci.continueExecution;
  }
  return callbackResult;
}

namespace {

// Where the report step fills in pointers that a record lacks.
[[gnu::noinline]] uint64_t CallerAddress() {
  return reinterpret_cast<uintptr_t>(__builtin_extract_return_addr(__builtin_return_address(0)));
}

}  // namespace

int CCrashHandler::ReportStep(CrashExceptionInfo* info, const platform::SignalEvent* signal) {
  if (!info) return 1;
  CrashExceptionRecord record{};
  CrashExceptionPointers pointers{};
  alignas(16) unsigned char context[platform::kContextStorageSize];
  if (!info->exceptionPointers) {
    platform::CaptureContext(context);
    record.code = info->code;
    record.address = CallerAddress();
    pointers.record = &record;
    pointers.context = context;
    info->exceptionPointers = &pointers;
  }
  BlockWriter w(current_->block);
  if (info->manual) w.Put32(hdr::kFlags, w.Get32(hdr::kFlags) & ~CRASH_INST_CLEARED_BY_REPORT);
  const int tid = platform::CurrentThreadId();
  w.Put32(hdr::kCrashOccurred, 1);
  w.Put32(hdr::kVideo, 0);
  w.Put32(hdr::kProcessId, static_cast<uint32_t>(platform::CurrentProcessId()));
  w.Put32(hdr::kThreadId, static_cast<uint32_t>(tid));
  // The header keeps the low 32 bits; the Linux record carries the whole address.
  const uint64_t pointersAddress = reinterpret_cast<uintptr_t>(info->exceptionPointers);
  w.Put32(hdr::kExceptionPointers, static_cast<uint32_t>(pointersAddress));
  w.Put32(hdr::kQueued, 0);
  w.Put32(hdr::kExceptionType, static_cast<uint32_t>(info->exctype));
  if (info->exctype == CRASH_TYPE_STRUCTURED) w.Put32(hdr::kExceptionCode, info->code);
  if (info->exctype == CRASH_TYPE_SIGFPE) w.Put32(hdr::kFpeSubcode, info->fpeSubcode);
  if (info->exctype == CRASH_TYPE_INVALID_PARAMETER) {
    auto length = [](const char16_t* s) {
      size_t n = 0;
      while (s && s[n] && n <= kMaxTextChars) ++n;
      return n > kMaxTextChars ? kMaxTextChars : n;
    };
    const char16_t* texts[3] = {info->expression, info->function, info->file};
    const uint32_t fields[3] = {hdr::kExpression, hdr::kFunction, hdr::kFile};
    for (int i = 0; i < 3; ++i) w.Put32(fields[i], w.AppendString(Text(texts[i], length(texts[i]))));
    w.Put32(hdr::kLine, info->line);
  }

  if (legacyCallback && legacyCallback(nullptr) == 0) {
    Renew();
    return 2;
  }
  if (CallCallback(CRASH_STAGE_BEFORE_SENDER, info) == CRASH_CALLBACK_CANCEL) {
    Renew();
    return 2;
  }

  w.AppendLinuxRecord(signal ? signal->address : 0, pointersAddress, signal ? signal->number : 0,
                      signal ? signal->code : 0, tid);

  bool started = true;
  if (videoAdded && videoSender > 0 && platform::ChildRunning(videoSender)) {
    videoEvent->Set();
    WaitForAck(current_->event.get(), videoSender);
    info->senderProcess = videoSender;
  } else {
    int pid = -1;
    started = StartSender(blockName_, true, &pid) == 0;
    info->senderProcess = pid;
  }

  CallCallback(CRASH_STAGE_AFTER_SENDER, info);

  if (continueExecution) {
    const bool video = videoAdded;
    Renew();
    if (video) {
      videoAdded = false;
      VideoStep(videoFlags | 0x10, videoDuration, videoInterval, &videoSize, videoWindow);
    }
  }
  if (!started) {
    // A message box cannot be shown from a crashing thread: the line goes to standard error.
    char line[512];
    const std::u16string& exe = exePath;
    char name[256];
    size_t slash = exe.rfind(u'/');
    size_t start = slash == std::u16string::npos ? 0 : slash + 1;
    size_t dot = exe.find(u'.', start);
    NarrowInto(exe.data() + start, (dot == std::u16string::npos ? exe.size() : dot) - start, name, sizeof name);
    size_t n = 0;
    const char* parts[2] = {name, " has stopped working: Error launching CrashSender.exe\n"};
    for (const char* part : parts)
      for (const char* p = part; *p && n + 1 < sizeof line; ++p) line[n++] = *p;
    line[n] = '\0';
    platform::WriteStderr(line);
    return 3;
  }
  return 0;
}

int CCrashHandler::VideoStep(uint32_t vflags, int duration, int interval, const CrashFrameSize* size,
                             uintptr_t window) {
  if (duration < 0 || duration > 600000) {
    SetErrorText(u"Invalid video duration.");
    return 2;
  }
  if (duration == 0) duration = 60000;
  if (interval < 0 || interval > duration) {
    SetErrorText(u"Invalid frame interval.");
    return 3;
  }
  if (interval == 0) interval = 500;
  if (videoAdded) {
    SetErrorText(u"Can not add video recording twice.");
    return 4;
  }
  videoAdded = true;
  videoFlags = vflags;
  videoDuration = duration;
  videoInterval = interval;
  videoSize = size ? *size : CrashFrameSize{0, 0};
  videoWindow = window;  // no active-window notion here: 0 when none is given
  BlockWriter w(current_->block);
  w.Put32(hdr::kVideo, 1);
  w.Put32(hdr::kVideoFlags, videoFlags);
  w.Put32(hdr::kVideoDuration, static_cast<uint32_t>(videoDuration));
  w.Put32(hdr::kVideoInterval, static_cast<uint32_t>(videoInterval));
  w.Put32(hdr::kVideoWidth, static_cast<uint32_t>(videoSize.width));
  w.Put32(hdr::kVideoHeight, static_cast<uint32_t>(videoSize.height));
  w.Put32(hdr::kVideoWindow, static_cast<uint32_t>(videoWindow));
  std::snprintf(videoEventName, sizeof videoEventName, "Local\\CrashReportEvent_%s_2", current_->guid);
  videoEvent = platform::NamedEvent::Create(videoEventName, platform::EventReset::Auto, false);
  if (!videoEvent) {
    SetErrorText(u"Couldn't create synchronization event.");
    return 5;
  }
  if (StartSender(blockName_, false, &videoSender) != 0) {
    SetErrorText(u"Couldn't launch CrashSender.exe process.");
    return 6;
  }
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddVideo(uint32_t vflags, int duration, int interval, const CrashFrameSize* size,
                            uintptr_t window) {
  return VideoStep(vflags, duration, interval, size, window);
}

bool CCrashHandler::Append(size_t bytes, const char16_t** error) const {
  if (bytes > 0xFFFF) {
    *error = u"The item is larger than 65535 bytes.";
    return false;
  }
  BlockWriter w(current_->block);
  if (!w.HasRoom(bytes)) {
    *error = u"No room is left in the crash description block.";
    return false;
  }
  return true;
}

bool CCrashHandler::TextFits(const std::u16string& s, const char16_t** error) const {
  if (s.size() > kMaxTextChars) {
    *error = u"The text is longer than 32764 characters.";
    return false;
  }
  return true;
}

int CCrashHandler::AddFile(const std::u16string* source, const std::u16string* dest,
                           const std::u16string* description, uint32_t aflags) {
  if (!source) {
    SetErrorText(u"Invalid file name specified.");
    return 2;
  }
  if (dest && Trim(*dest).empty()) {
    SetErrorText(u"Invalid destination file name specified.");
    return 2;
  }
  FileEntry entry;
  entry.source = *source;
  entry.description = description ? *description : std::u16string();
  entry.option1 = aflags & CRASH_FILE_OPTION_1;
  entry.option2 = aflags & CRASH_FILE_OPTION_2;
  const bool pattern = source->find_first_of(u"*?") != std::u16string::npos;
  if (pattern) {
    entry.dest = source->substr(source->rfind(u'/') + 1);
  } else {
    if (!(aflags & CRASH_FILE_MAY_BE_MISSING) && !platform::ReadableFile(Narrow(*source).c_str())) {
      SetErrorText(u"The file does not exists or not a regular file.");
      return 2;
    }
    entry.dest = dest ? *dest : source->substr(source->rfind(u'/') + 1);
    if (files.count(entry.dest)) {
      SetErrorText(u"A file with such a destination name already exists.");
      return 2;
    }
  }
  const char16_t* error = nullptr;
  if (!TextFits(entry.source, &error) || !TextFits(entry.dest, &error) ||
      !TextFits(entry.description, &error) ||
      !Append(FileItemSize(entry.source, entry.dest, entry.description), &error)) {
    SetErrorText(error);
    return 2;
  }
  files[entry.dest] = entry;
  BlockWriter(current_->block).AppendFile(entry.source, entry.dest, entry.description, entry.option1,
                                          entry.option2);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddProperty(const std::u16string& name, const std::u16string& value) {
  if (name.empty()) {
    SetErrorText(u"Invalid property name specified.");
    return 2;
  }
  const char16_t* error = nullptr;
  if (!TextFits(name, &error) || !TextFits(value, &error) || !Append(PropertyItemSize(name, value), &error)) {
    SetErrorText(error);
    return 2;
  }
  properties[name] = value;
  BlockWriter(current_->block).AppendProperty(name, value);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddRegKey(const std::u16string* key, const std::u16string* dest, uint32_t rflags) {
  if (!key || !dest) {
    SetErrorText(u"Invalid registry key or invalid destination file is specified.");
    return 2;
  }
  if (dest->find_first_of(u"/\\\r\n\t") != std::u16string::npos) return 2;
  std::u16string subkey;
  for (const char16_t* root : {u"HKEY_LOCAL_MACHINE\\", u"HKEY_CURRENT_USER\\"}) {
    std::u16string prefix(root);
    if (key->compare(0, prefix.size(), prefix) == 0) {
      subkey = key->substr(prefix.size());
      if (subkey.empty()) {
        SetErrorText(u"Empty subkey is not allowed.");
        return 2;
      }
      break;
    }
    prefix.clear();
  }
  if (subkey.empty()) {
    SetErrorText(u"Invalid registry branch is specified.");
    return 2;
  }
  // Both roots name keys of the program's one registry store.
  if (!platform::ScopedRegKey(platform::RegOpenKey(Narrow(subkey).c_str(), platform::RegAccess::Read))) {
    SetErrorText(u"The registry key coudn't be open.");
    return 2;
  }
  const char16_t* error = nullptr;
  if (!TextFits(*key, &error) || !TextFits(*dest, &error) || !Append(RegKeyItemSize(*key, *dest), &error)) {
    SetErrorText(error);
    return 2;
  }
  regKeys[*key] = RegKeyEntry{*dest, (rflags & CRASH_KEY_OPTION) != 0};
  BlockWriter(current_->block).AppendRegKey(*key, *dest, (rflags & CRASH_KEY_OPTION) != 0);
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::AddScreenshot(uint32_t sflags, int quality) {
  if (quality < 0 || quality > 100) {
    SetErrorText(u"Invalid Jpeg quality.");
    return 1;
  }
  screenshot = true;
  screenshotFlags = sflags;
  jpegQuality = quality;
  BlockWriter w(current_->block);
  w.Put32(hdr::kScreenshot, 1);
  w.Put32(hdr::kScreenshotFlags, sflags);
  w.Put32(hdr::kJpegQuality, static_cast<uint32_t>(quality));
  SetErrorText(u"Success.");
  return 0;
}

int CCrashHandler::SetThreadHandlers(uint32_t tflags) {
  const uint32_t mask = (tflags & CRASH_INST_HANDLER_MASK) ? (tflags & CRASH_INST_HANDLER_MASK) : CRASH_INST_HANDLER_MASK;
  const int tid = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(threadsLock_);
  ThreadEntry* free = nullptr;
  for (auto& t : threads_) {
    int id = t.tid.load();
    if (id == tid) {
      SetErrorText(u"Can't install handlers for current thread twice.");
      return 1;
    }
    if (id == 0 && !free) free = &t;
  }
  if (!free) {
    SetErrorText(u"Too many threads with crash handlers.");
    return 1;
  }
  // Its own alternate stack, so that this thread's stack overflow is caught.
  if (!platform::InstallAltStack(&free->stack)) {
    SetErrorText(u"Couldn't set up the signal stack for the current thread.");
    return 1;
  }
  free->hooks.store(mask & (CRASH_INST_TERMINATE_HANDLER | CRASH_INST_UNEXPECTED_HANDLER | CRASH_INST_SIGFPE_HANDLER |
                            CRASH_INST_SIGILL_HANDLER | CRASH_INST_SIGSEGV_HANDLER));
  free->tid.store(tid);
  return 0;
}

int CCrashHandler::UnsetThreadHandlers() {
  const int tid = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(threadsLock_);
  for (auto& t : threads_) {
    if (t.tid.load() == tid) {
      t.tid.store(0);
      t.hooks.store(0);
      platform::RemoveAltStack(&t.stack);
      return 0;
    }
  }
  SetErrorText(u"Crash handler wasn't previously installed for current thread.");
  return 1;
}

ThreadEntry* CCrashHandler::FindThread(int tid) {
  for (auto& t : threads_)
    if (t.tid.load(std::memory_order_acquire) == tid) return &t;
  return nullptr;
}

}  // namespace crash
