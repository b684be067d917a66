#include "callback/knocker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "runtime/shared_state.h"
#include "runtime/well_known.h"
#include "config/settings.h"
#include "platform/environment.h"
#include "platform/http.h"
#include "platform/opener.h"
#include "platform/registry.h"
#include "runtime/thread.h"
#include "profile/profile.h"

namespace {

constexpr size_t kReplySize = 1024;
constexpr size_t kUrlSize = 2048;

// The runs under way and the shutdown flag. Never destroyed: a run still
// going while the process exits must not reach a dead lock.
struct Runs {
  std::mutex lock;
  std::condition_variable changed;
  unsigned running = 0;
  bool ending = false;
  unsigned installedDelayMs = 5000;
};

Runs& TheRuns() {
  static Runs* runs = new Runs();
  return *runs;
}

bool Ending() {
  Runs& runs = TheRuns();
  std::lock_guard<std::mutex> lock(runs.lock);
  return runs.ending;
}

void RunKnock();
void RunOpenInstalled();

struct Body {
  void (*run)();
};
const Body kKnock{&RunKnock};
const Body kOpenInstalled{&RunOpenInstalled};

void Worker(void* body) {
  static_cast<const Body*>(body)->run();
  Runs& runs = TheRuns();
  std::lock_guard<std::mutex> lock(runs.lock);
  --runs.running;
  runs.changed.notify_all();
}

bool StartRun(const Body* body) {
  Runs& runs = TheRuns();
  {
    std::lock_guard<std::mutex> lock(runs.lock);
    if (runs.ending) return false;
    ++runs.running;
  }
  if (StartWorker(&Worker, const_cast<Body*>(body))) return true;
  std::lock_guard<std::mutex> lock(runs.lock);
  --runs.running;
  runs.changed.notify_all();
  return false;
}

struct Reply {
  char bytes[kReplySize];
  size_t length;
};

// Keeps the start of the body, up to the reply buffer, then stops.
bool KeepReply(void* context, const char* data, size_t length) {
  if (Ending()) return false;
  auto* reply = static_cast<Reply*>(context);
  size_t room = kReplySize - reply->length;
  size_t take = length < room ? length : room;
  std::memcpy(reply->bytes + reply->length, data, take);
  reply->length += take;
  return reply->length < kReplySize;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

uint32_t CallbackSignature(const char* code, const char* machineId) {
  char input[1024];
  int n = std::snprintf(input, sizeof input, "%s%s%s", code, machineId, kCallbackSalt);
  if (n < 0) return 0;
  size_t length = static_cast<size_t>(n) < sizeof input ? static_cast<size_t>(n) : sizeof input - 1;
  return Crc32(input, length);
}

bool EncodeQueryValue(const char* text, char* out, size_t outSize) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t o = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (IsUnreserved(*p)) {
      if (o + 1 >= outSize) return false;
      out[o++] = static_cast<char>(*p);
    } else {
      if (o + 3 >= outSize) return false;
      out[o++] = '%';
      out[o++] = kHex[*p >> 4];
      out[o++] = kHex[*p & 15];
    }
  }
  if (o >= outSize) return false;
  out[o] = '\0';
  return true;
}

bool FormatCallbackUrl(const char* site, const char* code, const char* machineId, char* url, size_t urlSize) {
  // A code or identity with blanks, "&", "#", "%" or non-ASCII bytes would
  // otherwise make a malformed or different request.
  char a[kPathSize * 3];
  char b[kMachineIdSize * 3];
  if (!EncodeQueryValue(code, a, sizeof a) || !EncodeQueryValue(machineId, b, sizeof b)) return false;
  int n =
      std::snprintf(url, urlSize, "%s/clientCallback/?a=%s&b=%s&c=%u", site, a, b, CallbackSignature(code, machineId));
  // A cut address would be another request: send none.
  return n >= 0 && static_cast<size_t>(n) < urlSize;
}

namespace {

void RunKnock() {
  platform::ScopedRegKey key(platform::RegOpenKey("SOFTWARE\\Quorvanta", platform::RegAccess::Read));
  if (!key) return;
  char code[kPathSize];
  int read = ReadSetting("ref", code, "", sizeof code);
  key.reset();
  if (!read || code[0] == '\0') return;

  char url[kUrlSize];
  if (!FormatCallbackUrl(platform::SiteBase(), code, MachineId, url, sizeof url)) return;
  Reply reply;
  reply.bytes[0] = reply.bytes[1] = '\0';
  reply.length = 0;
  // Neither the status nor how the body ended matters: only its first two bytes.
  platform::HttpGet(url, &KeepReply, &reply);
  // A reply cut off by shutdown is no acknowledgement.
  if (Ending()) return;
  if (reply.length >= 2 && reply.bytes[0] == 'O' && reply.bytes[1] == 'K') WriteSetting("ref", "");
}

void RunOpenInstalled() {
  Runs& runs = TheRuns();
  {
    std::unique_lock<std::mutex> lock(runs.lock);
    // Shutdown cuts the wait short; the page is then not opened.
    if (runs.changed.wait_for(lock, std::chrono::milliseconds(runs.installedDelayMs), [&runs] { return runs.ending; }))
      return;
  }
  char url[kUrlSize];
  int n = std::snprintf(url, sizeof url, "%s/installed", platform::SiteBase());
  if (n < 0 || static_cast<size_t>(n) >= sizeof url) return;
  platform::OpenUrl(url);
}

}  // namespace

void Knocker::Run() { RunKnock(); }

bool Knocker::Start() { return StartRun(&kKnock); }

void OpenInstalled::Run() { RunOpenInstalled(); }

bool OpenInstalled::Start() { return StartRun(&kOpenInstalled); }

bool EndCallbackWorkers(unsigned boundMs) {
  Runs& runs = TheRuns();
  std::unique_lock<std::mutex> lock(runs.lock);
  runs.ending = true;
  runs.changed.notify_all();
  return runs.changed.wait_for(lock, std::chrono::milliseconds(boundMs), [&runs] { return runs.running == 0; });
}

void SetInstalledDelayMs(unsigned ms) {
  Runs& runs = TheRuns();
  std::lock_guard<std::mutex> lock(runs.lock);
  runs.installedDelayMs = ms;
}
