// Lines per second through the line cutter and the protocol handler, replaying
// a management session captured from OpenVPN 2.6 from memory.
#include <benchmark/benchmark.h>

#include <cstring>

#include "platform/message_queue.h"
#include "tunnel/line_cutter.h"
#include "tunnel/management_protocol.h"

namespace {

constexpr const char kSession[] =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    "SUCCESS: real-time state notification set to ON\r\n"
    "SUCCESS: bytecount interval changed\r\n"
    "SUCCESS: hold flag set to OFF\r\n"
    "SUCCESS: hold release succeeded\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
    "SUCCESS: 'Auth' password entered, but not yet verified\r\n"
    ">STATE:1796755937,WAIT,,,,,,\r\n"
    ">STATE:1796755937,AUTH,,,,,,\r\n"
    ">STATE:1796755937,ASSIGN_IP,,,,,,\r\n"
    ">STATE:1796755937,CONNECTED,SUCCESS,,127.0.0.1,11940,,\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2904,1055\r\n"
    ">BYTECOUNT:2944,1095\r\n"
    ">STATE:1796755950,EXITING,exit-with-notification,,,,,\r\n";

struct CountingSink : CommandSink {
  size_t bytes = 0;
  void Send(const char* text) override { bytes += std::strlen(text); }
};

// Feeds the session in receives of the given size, as a socket would deliver it.
void BM_ManagementSession(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  CountingSink sink;
  platform::MessageQueue queue;
  ManagementHandler handler(sink, "6f1c2a9e-4b7d-4e21-9c3a-58d0f2b7a914");
  handler.SetNotifyQueue(&queue);
  LineCutter cutter;
  const size_t total = sizeof kSession - 1;
  char receive[1024 + 1];
  size_t lines = 0;
  for (auto _ : state) {
    cutter.Reset();
    handler.ResetConnection();
    for (size_t at = 0; at < total; at += chunk) {
      size_t n = total - at < chunk ? total - at : chunk;
      std::memcpy(receive, kSession + at, n);
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
  const size_t total = sizeof kSession - 1;
  size_t lines = 0;
  for (auto _ : state) {
    cutter.Reset();
    cutter.Feed(kSession, total, [&](char* line) {
      benchmark::DoNotOptimize(line);
      ++lines;
    });
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LineCutter);

}  // namespace
