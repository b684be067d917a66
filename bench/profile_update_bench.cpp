// One profile update of a 10,000-entry profile served from loopback: the time
// from the start of the walk to the swapped lists, and the worker's peak
// memory. Heap: every operator new/delete of the process is counted (libcurl's
// own malloc calls are not), the peak above the level before the update is
// reported. RSS: /proc/self/clear_refs resets VmHWM before the update, VmHWM
// after it less VmRSS before it (the first run only, before the allocator
// holds freed memory of earlier runs).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "../tests/integration/update/http_test_server.h"
#include "../tests/integration/update/update_support.h"
#include "runtime/shared_state.h"
#include "profile/profile_update.h"

namespace {

std::atomic<long long> liveBytes{0};
std::atomic<long long> peakBytes{0};

void Count(long long delta) {
  long long now = liveBytes.fetch_add(delta, std::memory_order_relaxed) + delta;
  long long peak = peakBytes.load(std::memory_order_relaxed);
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

long ProcStatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

constexpr int kServers = 10000;

struct Fixture {
  qvtest::HttpTestServer server;
  qvtest::ScratchDir dir;
  std::string profilePath = dir / "data.vpn";
  std::string oldProfile = qvtest::Profile("old.example:1194:udp");
  size_t pageBytes = 0;
  Fixture() {
    std::string plain;
    for (int i = 0; i < kServers; ++i)
      plain += "srv" + std::to_string(i) + ".vpn.quorvanta.example:" + std::to_string(1194 + i % 7) +
               (i % 2 ? ":udp" : ":tcp:scramble") + "\n";
    plain += "<---->\nhttp://update1.quorvanta.example/p\nhttp://update2.quorvanta.example/p\n";
    std::string page = qvtest::Page(qvtest::Profile(plain));
    pageBytes = page.size();
    server.Set("/page", qvtest::HttpTestServer::Page(200, page));
  }
};

void BM_UpdateServerLists10k(benchmark::State& state) {
  static Fixture f;
  static long firstRssGrowthKb = -1;
  long long heapPeak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    qvtest::WriteFile(f.profilePath, f.oldProfile);
    qvtest::ResetSharedLists({"old.example:1194:udp"}, {f.server.Url("/page")});
    std::ofstream("/proc/self/clear_refs") << "5";
    long rssBefore = ProcStatusKb("VmRSS:");
    long long base = liveBytes.load();
    peakBytes.store(base);
    state.ResumeTiming();

    UpdateServerLists(f.profilePath.c_str());

    state.PauseTiming();
    if (peakBytes.load() - base > heapPeak) heapPeak = peakBytes.load() - base;
    if (firstRssGrowthKb < 0) firstRssGrowthKb = ProcStatusKb("VmHWM:") - rssBefore;
    if (qvtest::SharedServers().size() != kServers) state.SkipWithError("update failed");
    state.ResumeTiming();
  }
  state.counters["page_kB"] = static_cast<double>(f.pageBytes) / 1024;
  state.counters["heap_peak_kB"] = static_cast<double>(heapPeak) / 1024;
  state.counters["rss_peak_growth_kB"] = static_cast<double>(firstRssGrowthKb);
}
BENCHMARK(BM_UpdateServerLists10k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  Count(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (!p) return;
  Count(-static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
