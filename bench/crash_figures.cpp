// Figures of crash reporting, each the median of fresh child processes:
//   install  - time and resident memory that InstallCrashHandler costs, with
//              the program's flags (the sender started once) and without 0x40000;
//   fault    - time from a fault to the process's exit with the report handed
//              over, with the sender beside the front end.
// Run: build/bench/crash_figures [runs]
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crash/crash_report.h"
#include "support/child_process.h"

namespace {

const std::u16string kSenderDir = u"" QV_BINARY_DIR "/frontend";

long NowUs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000L + t.tv_nsec / 1000L;
}

long RssKb() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  while (f && std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  if (f) std::fclose(f);
  return kb;
}

int Install(uint32_t flags) {
  CrashInstallInfo info{};
  info.cb = kCrashInstallInfoSize;
  info.appName = u"Quorvanta GUI";
  info.appVersion = u"0.0.8";
  info.senderDirectory = kSenderDir.c_str();
  info.flags = flags;
  return InstallCrashHandler(&info);
}

long Median(std::vector<long> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

void InstallFigures(int runs, uint32_t flags) {
  std::vector<long> times, rss;
  for (int i = 0; i < runs; ++i) {
    auto r = qvtest::RunInChild([flags] {
      const long rssBefore = RssKb();
      const long start = NowUs();
      if (Install(flags) != 0) return std::string("failed");
      const long us = NowUs() - start;
      const long kb = RssKb() - rssBefore;
      UninstallCrashHandler();
      return std::to_string(us) + " " + std::to_string(kb);
    });
    long us = 0, kb = 0;
    if (std::sscanf(r.output.c_str(), "%ld %ld", &us, &kb) != 2) {
      std::printf("install failed: %s\n", r.output.c_str());
      return;
    }
    times.push_back(us);
    rss.push_back(kb);
  }
  std::printf("install flags 0x%X: median %.2f ms, resident memory +%ld KiB (%d runs)\n", flags, Median(times) / 1000.0,
              Median(rss), runs);
}

void FaultFigures(int runs) {
  std::vector<long> times;
  for (int i = 0; i < runs; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (Install(0x3FFF) != 0) _exit(99);
      long at = NowUs();
      if (write(fds[1], &at, sizeof at) != sizeof at) _exit(98);
      EmulateCrash(CRASH_TYPE_STRUCTURED);
      _exit(97);
    }
    close(fds[1]);
    long at = 0;
    ssize_t n = read(fds[0], &at, sizeof at);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const long end = NowUs();
    if (n != sizeof at || !WIFEXITED(status) || WEXITSTATUS(status) != 1) {
      std::printf("fault run %d ended with status %d\n", i, status);
      return;
    }
    times.push_back(end - at);
  }
  std::printf("fault to exit with the report handed over: median %.2f ms (%d runs)\n", Median(times) / 1000.0, runs);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  qvtest::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  setenv("QUORVANTA_OBJECT_NAMESPACE", ("-crashfigures" + std::to_string(getpid())).c_str(), 1);
  InstallFigures(runs, 0x43FFF);
  InstallFigures(runs, 0x3FFF);
  FaultFigures(runs);
  return 0;
}
