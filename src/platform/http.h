#pragma once
// HTTP GET of a web address, the body handed over piece by piece. Direct
// connection (no proxy), no agent name; redirects are followed; the HTTP
// status is not looked at: an error page is a body like any other.
#include <cstddef>

namespace platform {

// The largest piece handed to a sink at once.
inline constexpr size_t kHttpPieceSize = 1024;

// Bounds a transfer so that a slow or endless server never holds a worker.
struct HttpLimits {
  unsigned connectMs = 15000;
  unsigned totalMs = 60000;
  size_t maxBody = 4u << 20;  // 4 MiB
};

enum class HttpResult {
  Ok,          // the body ended normally
  OpenFailed,  // no response: bad address, host unreachable, connection refused
  ReadFailed,  // a response came but its body broke off (or the time ran out)
  TooLarge,    // the body is longer than maxBody; the transfer was stopped
  Stopped,     // the sink asked to stop
};

// Receives the body in order; false stops the transfer.
using HttpSink = bool (*)(void* context, const char* data, size_t length);

// Blocks the calling thread until the transfer ends; safe on any thread.
HttpResult HttpGet(const char* url, HttpSink sink, void* context, const HttpLimits& limits = {});

}  // namespace platform
