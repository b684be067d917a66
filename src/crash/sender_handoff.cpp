// The report step and the sender's start: the crash into the block, the
// staged callback, the sender started and waited for within a bound, and the
// video sender kept running beside the process.
#include "crash/crash_handler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crash_process.h"

namespace crash {

bool CCrashHandler::WaitForAck(platform::NamedEvent* event, int pid) {
  if (!event) return false;
  // The event cannot be waited on together with the sender's end, so the
  // wait goes in short slices and looks at the sender between them.
  const long deadline = platform::MonotonicMs() + platform::kCrashSenderWaitMs;
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

int CCrashHandler::AddVideo(uint32_t vflags, int duration, int interval, const CrashFrameSize* size, uintptr_t window) {
  return VideoStep(vflags, duration, interval, size, window);
}

}  // namespace crash
