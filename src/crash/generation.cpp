// Crash generations: the GUID, the event and the shared block that one
// report hands to the sender, made ahead, renewed after a report that goes on,
// and the block written from the settings and the material added.
#include "crash/crash_handler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crash_process.h"

namespace crash {

// A generation's event name goes with it.
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
  put(&platform::kPathSeparator, 1);
  put(appName.data(), appName.size());
  put(u"_", 1);
  put(appVersion.data(), appVersion.size());
  put(&platform::kPathSeparator, 1);
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
      {hdr::kAppName, appName},
      {hdr::kAppVersion, appVersion},
      {hdr::kCrashGuid, Text(guidText, 36)},
      {hdr::kExePath, exePath},
      {hdr::kLanguageFile, languageFile},
      {hdr::kDbgHelpPath, dbgHelpPath},
      {hdr::kPassThroughText, passThroughText},
      {hdr::kPrivacyUrl, privacyUrl},
      {hdr::kSaveDir, saveDir},
      {hdr::kCustomIcon, customIcon},
      {hdr::kUploadUrl, uploadUrl},
      {hdr::kEmailTo, emailTo},
      {hdr::kSubject, subject},
      {hdr::kExtraText, extraText},
      {hdr::kSmtpServer, smtpHost},
      {hdr::kSmtpLogin, smtpLogin},
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

}  // namespace crash
