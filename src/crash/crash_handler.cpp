// Installing and removing the crash handler: the install record checked and
// resolved into the handler's settings, step by step, and the destroy step.
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
using platform::kDebugHelpLibrary;

std::u16string Given(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

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
  size_t slash = path.rfind(platform::kPathSeparator);
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
}

std::u16string WithSlash(std::u16string dir) {
  if (dir.empty() || dir.back() != platform::kPathSeparator) dir += platform::kPathSeparator;
  return dir;
}

// The value of a key of a section of an initialisation file; empty when absent.
std::string ReadIniValue(const std::u16string& path, const char* section, const char* key) {
  std::ifstream in{std::filesystem::path(path)};
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
bool CreateDirectories(const std::u16string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path whole(path);
  fs::path part;
  for (const auto& piece : whole) {
    part /= piece;
    if (part == whole.root_path() || part == whole.root_name()) continue;
    if (!fs::exists(part, ec)) {
      if (!fs::create_directory(part, ec) && !fs::is_directory(part, ec)) return false;
      fs::permissions(part, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    if (!fs::is_directory(part, ec)) return false;
  }
  return true;
}

}  // namespace

std::u16string Trim(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r' || s[b] == u'\n')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r' || s[e - 1] == u'\n')) --e;
  return s.substr(b, e - b);
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
    std::u16string file = exePath.substr(exePath.rfind(platform::kPathSeparator) + 1);
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
  const std::u16string senderDir =
      WithSlash(info.senderDirectory && *info.senderDirectory ? std::u16string(info.senderDirectory) : exeDir);
  senderPath = senderDir + kSenderFileName + platform::kExecutableSuffix;
  if (!platform::ReadableFile(Narrow(senderPath).c_str())) {
    SetErrorText(u"CrashSender.exe is not found in the specified path.");
    return 1;
  }

  languageFile = info.languageFilePath && *info.languageFilePath ? std::u16string(info.languageFilePath)
                                                                 : senderDir + kLanguageFileName;
  std::string version = ReadIniValue(languageFile, "Settings", "CrashReportVersion");
  if (std::atoi(version.c_str()) != 1402) {
    SetErrorText(u"Missing language file or wrong language file version.");
    return 1;
  }

  std::u16string helpDir =
      WithSlash(info.debugHelpDirectory && *info.debugHelpDirectory ? std::u16string(info.debugHelpDirectory) : exeDir);
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
    char data[4096];
    if (!platform::LocalDataDirectory(data, sizeof data) || !CreateDirectories(Widen(data))) {
      SetErrorText(u"Couldn't create crash report directory.");
      return 1;
    }
    const char16_t sep = platform::kPathSeparator;
    saveDir = Widen(data) + sep + u"CrashReport" + sep + u"UnsentCrashReports" + sep + appName + u"_" + appVersion;
  }
  if (!CreateDirectories(saveDir)) {
    SetErrorText(u"Couldn't create crash report directory.");
    return 1;
  }

  // Every header text must fit a StringBlock.
  for (const std::u16string* s :
       {&appName, &appVersion, &exePath, &languageFile, &dbgHelpPath, &passThroughText, &privacyUrl, &saveDir,
        &customIcon, &uploadUrl, &emailTo, &subject, &extraText, &smtpHost, &smtpLogin, &smtpPassword}) {
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

}  // namespace crash
