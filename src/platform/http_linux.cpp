#include "platform/http.h"

#include <curl/curl.h>

#include <mutex>

namespace platform {

namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  HttpSink sink;
  void* context;
  size_t maxBody;
  size_t received = 0;
  bool tooLarge = false;
  bool stopped = false;
  bool responded = false;
};

size_t OnHeader(char*, size_t size, size_t count, void* userdata) {
  static_cast<Transfer*>(userdata)->responded = true;
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  size_t length = size * count;
  t->responded = true;
  if (length > t->maxBody - t->received) {
    t->tooLarge = true;
    return 0;  // anything short of length makes curl stop with a write error
  }
  t->received += length;
  for (size_t done = 0; done < length;) {
    size_t piece = length - done < kHttpPieceSize ? length - done : kHttpPieceSize;
    if (!t->sink(t->context, data + done, piece)) {
      t->stopped = true;
      return 0;
    }
    done += piece;
  }
  return length;
}

}  // namespace

HttpResult HttpGet(const char* url, HttpSink sink, void* context, const HttpLimits& limits) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) return HttpResult::OpenFailed;
  Transfer t{sink, context, limits.maxBody};
  curl_easy_setopt(curl, CURLOPT_URL, url);
  // Direct connection whatever the environment says; no User-Agent header.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMs));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalMs));
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBody));
  // Worker threads: no SIGALRM-based timeouts.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (code == CURLE_OK) return HttpResult::Ok;
  if (t.tooLarge || code == CURLE_FILESIZE_EXCEEDED) return HttpResult::TooLarge;
  if (t.stopped) return HttpResult::Stopped;
  return t.responded ? HttpResult::ReadFailed : HttpResult::OpenFailed;
}

}  // namespace platform
