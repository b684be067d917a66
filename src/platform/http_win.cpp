#include "platform/http.h"

#include <windows.h>
#include <wininet.h>

namespace platform {

namespace {

// Closes the URL handle before the internet handle it came from.
struct InternetHandles {
  HINTERNET session = nullptr;
  HINTERNET url = nullptr;
  ~InternetHandles() {
    if (url) InternetCloseHandle(url);
    if (session) InternetCloseHandle(session);
  }
};

}  // namespace

HttpResult HttpGet(const char* url, HttpSink sink, void* context, const HttpLimits& limits) {
  if (!url || !*url) return HttpResult::OpenFailed;
  const ULONGLONG deadline = GetTickCount64() + limits.totalMs;
  InternetHandles h;
  // No agent name, straight to the server whatever the machine's proxy says.
  h.session = InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!h.session) return HttpResult::OpenFailed;
  DWORD connectMs = limits.connectMs;
  DWORD receiveMs = limits.totalMs;
  InternetSetOptionA(h.session, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  InternetSetOptionA(h.session, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
  InternetSetOptionA(h.session, INTERNET_OPTION_SEND_TIMEOUT, &receiveMs, sizeof receiveMs);
  h.url = InternetOpenUrlA(h.session, url, nullptr, 0, 0, 0);
  if (!h.url) return HttpResult::OpenFailed;

  char piece[kHttpPieceSize];
  size_t received = 0;
  for (;;) {
    DWORD n = 0;
    if (!InternetReadFile(h.url, piece, sizeof piece, &n)) return HttpResult::ReadFailed;
    if (n == 0) return HttpResult::Ok;
    if (n > limits.maxBody - received) return HttpResult::TooLarge;
    received += n;
    if (!sink(context, piece, n)) return HttpResult::Stopped;
    // A server that trickles bytes would otherwise hold the worker for ever.
    if (GetTickCount64() > deadline) return HttpResult::ReadFailed;
  }
}

}  // namespace platform
