// libFuzzer target: any byte stream from the management peer, cut into
// receives of any size, through the line cutter and the protocol handler.
// Every command the handler sends must be a bounded line of its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tunnel/line_cutter.h"
#include "tunnel/management_protocol.h"

namespace {

class CheckingSink : public CommandSink {
 public:
  void Send(const char* text) override {
    size_t length = strnlen(text, ManagementHandler::kCommandSize);
    if (length == ManagementHandler::kCommandSize) std::abort();
    // One command, one line: a peer must not be able to inject a second one.
    const char* end = static_cast<const char*>(std::memchr(text, '\n', length));
    if (end && end + 1 != text + length) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static LineCutter cutter;
  cutter.Reset();
  CheckingSink sink;
  ManagementHandler handler(sink, "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
  platform::MessageQueue queue;
  handler.SetNotifyQueue(&queue);
  // The first byte chooses the receive size, as the peer's writes would.
  const size_t chunk = size ? (data[0] % 64) + 1 : 1;
  const char* bytes = reinterpret_cast<const char*>(data);
  for (size_t at = size ? 1 : 0; at < size; at += chunk) {
    const size_t n = size - at < chunk ? size - at : chunk;
    if (!cutter.Feed(bytes + at, n, [&](char* line) { handler.ProcessLine(line); })) break;
  }
  platform::Message message;
  while (queue.TryTake(&message)) {
  }
  return 0;
}
