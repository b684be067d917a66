// LoadProfile on a 100,000-entry data.vpn, against memcpy of the same size.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "profile/profile.h"
#include "profile/profile_codec.h"
#include "runtime/server_list.h"

namespace {

constexpr int kServers = 99990;
constexpr int kUrls = 10;

struct ProfileFixture {
  std::string path;
  size_t bytes = 0;
  ProfileFixture() {
    std::string plain;
    for (int i = 0; i < kServers; ++i)
      plain += "srv" + std::to_string(i) + ".vpn.quorvanta.example:" + std::to_string(1194 + i % 7) +
               (i % 2 ? ":udp" : ":tcp:scramble") + "\n";
    plain += "<---->\n";
    for (int i = 0; i < kUrls; ++i) plain += "http://update" + std::to_string(i) + ".quorvanta.example/p\n";
    std::string vpn, error;
    if (!EncodeProfile(plain, &vpn, &error)) std::abort();
    path = (std::filesystem::temp_directory_path() / "qv-profile-bench.vpn").string();
    std::ofstream(path, std::ios::binary).write(vpn.data(), static_cast<std::streamsize>(vpn.size()));
    bytes = vpn.size();
  }
  ~ProfileFixture() { std::remove(path.c_str()); }
};

const ProfileFixture& Fixture() {
  static ProfileFixture fixture;
  return fixture;
}

void BM_LoadProfile(benchmark::State& state) {
  const ProfileFixture& f = Fixture();
  for (auto _ : state) {
    ServerList* servers = NewServerList();
    ServerList* urls = NewServerList();
    if (LoadProfile(f.path.c_str(), servers, urls) != 0) state.SkipWithError("load failed");
    state.PauseTiming();
    FreeServerList(servers);
    FreeServerList(urls);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
  state.counters["entries"] = benchmark::Counter(kServers + kUrls, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_bytes"] = static_cast<double>(f.bytes);
}
BENCHMARK(BM_LoadProfile)->Unit(benchmark::kMillisecond);

// Verification only: read, CRC, no deciphering or lists.
void BM_VerifyProfile(benchmark::State& state) {
  const ProfileFixture& f = Fixture();
  for (auto _ : state)
    if (LoadProfile(f.path.c_str(), nullptr, nullptr) != 0) state.SkipWithError("verify failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_VerifyProfile)->Unit(benchmark::kMillisecond);

// The ceiling: copying a buffer as large as the data.vpn.
void BM_MemcpySameSize(benchmark::State& state) {
  const size_t bytes = Fixture().bytes;
  std::vector<char> source(bytes, 'x'), target(bytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), bytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_MemcpySameSize)->Unit(benchmark::kMillisecond);

}  // namespace
