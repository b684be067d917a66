// Lines per second through the line cutter and the protocol handler, replaying
// a management session captured from OpenVPN 2.6 from memory.
#include <benchmark/benchmark.h>

#include <cstring>

#include "platform/message_queue.h"
#include "support/recorded_session.h"
#include "tunnel/line_cutter.h"
#include "tunnel/management_protocol.h"

namespace {

struct CountingSink : CommandSink {
  size_t bytes = 0;
  void Send(const char* text) override { bytes += std::strlen(text); }
};

// Feeds the session in receives of the given size, as a socket would deliver it.
void BM_ManagementSession(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  CountingSink sink;
  platform::MessageQueue queue;
  ManagementHandler handler(sink, kRecordedMachineId);
  handler.SetNotifyQueue(&queue);
  LineCutter cutter;
  const size_t total = sizeof kRecordedSession - 1;
  char receive[1024 + 1];
  size_t lines = 0;
  for (auto _ : state) {
    cutter.Reset();
    handler.ResetConnection();
    for (size_t at = 0; at < total; at += chunk) {
      size_t n = total - at < chunk ? total - at : chunk;
      std::memcpy(receive, kRecordedSession + at, n);
      receive[n] = '\0';
      cutter.Feed(receive, n, [&](char* line) {
        handler.ProcessLine(line);
        ++lines;
      });
    }
    // Drain what the handler posted so the queue does not grow across iterations.
    platform::Message m;
    while (queue.TryTake(&m)) {
    }
  }
  benchmark::DoNotOptimize(sink.bytes);
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ManagementSession)->Arg(1024)->Arg(37);

// The cutter alone on the same bytes.
void BM_LineCutter(benchmark::State& state) {
  LineCutter cutter;
  const size_t total = sizeof kRecordedSession - 1;
  size_t lines = 0;
  for (auto _ : state) {
    cutter.Reset();
    cutter.Feed(kRecordedSession, total, [&](char* line) {
      benchmark::DoNotOptimize(line);
      ++lines;
    });
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LineCutter);

// The floor: finding the line ends of the same bytes with memchr and nothing else.
void BM_MemchrScan(benchmark::State& state) {
  const size_t total = sizeof kRecordedSession - 1;
  size_t lines = 0;
  for (auto _ : state) {
    const char* at = kRecordedSession;
    const char* end = kRecordedSession + total;
    while (const void* cr = std::memchr(at, '\r', static_cast<size_t>(end - at))) {
      at = static_cast<const char*>(cr) + 1;
      benchmark::DoNotOptimize(at);
      ++lines;
    }
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemchrScan);

}  // namespace
