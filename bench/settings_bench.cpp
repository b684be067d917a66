// Cost of the registry operations the program runs at start-up and per tunnel-up.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "runtime/shared_state.h"
#include "config/settings.h"
#include "platform/registry.h"

namespace {

// A registry of its own in a temporary directory, filled as an install leaves it.
struct BenchRegistry {
  BenchRegistry() {
    char pattern[] = "/tmp/qvbench-XXXXXX";
    dir = mkdtemp(pattern);
    file = dir + "/registry.db";
    setenv("QUORVANTA_REGISTRY", file.c_str(), 1);
    Put("SOFTWARE\\Quorvanta", "", "/opt/quorvanta");
    Put("SOFTWARE\\Quorvanta", "config_dir", "/opt/quorvanta/config");
    Put("SOFTWARE\\Quorvanta", "ref", "");
    Put("SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
  }
  ~BenchRegistry() {
    unlink(file.c_str());
    rmdir(dir.c_str());
  }
  static void Put(const char* key, const char* name, const char* text) {
    platform::RegKey* k = platform::RegCreateKey(key);
    platform::RegSetValue(k, name, platform::kRegSz, text, static_cast<uint32_t>(std::strlen(text) + 1));
    platform::RegCloseKey(k);
  }
  std::string dir, file;
};

void BM_LoadConfiguration(benchmark::State& state) {
  BenchRegistry registry;
  for (auto _ : state) benchmark::DoNotOptimize(LoadConfiguration());
}
BENCHMARK(BM_LoadConfiguration);

void BM_ReadSetting(benchmark::State& state) {
  BenchRegistry registry;
  char buffer[kPathSize];
  for (auto _ : state) benchmark::DoNotOptimize(ReadSetting("ref", buffer, "", sizeof buffer));
}
BENCHMARK(BM_ReadSetting);

void BM_WriteSetting(benchmark::State& state) {
  BenchRegistry registry;
  for (auto _ : state) benchmark::DoNotOptimize(WriteSetting("ref", ""));
}
BENCHMARK(BM_WriteSetting);

}  // namespace
