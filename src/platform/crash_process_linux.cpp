#include "platform/crash_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/handle.h"

extern char** environ;

namespace platform {

int CurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

int CurrentProcessId() { return static_cast<int>(getpid()); }

int SpawnSignalSafe(const char* path, char* const argv[]) {
  // vfork: no copy of the address space and nothing run in the child but
  // what is safe there; the parent goes on once execve has happened.
  pid_t pid = vfork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // the crashing thread blocks its signal
    // No descriptor of the crashed process is handed on, only the standard three.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execve(path, argv, environ);
    _exit(127);
  }
  return pid > 0 ? static_cast<int>(pid) : -1;
}

bool ChildRunning(int pid) {
  if (pid <= 0) return false;
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  // 0: still running; the pid: ended and reaped; -1: not ours any more (reaped elsewhere).
  return r == 0;
}

void ReapChild(int pid) {
  if (pid <= 0) return;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void AllowTracer(int pid) {
  if (pid > 0) prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0, 0, 0);
}

void WriteStderr(const char* text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(2, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

long MonotonicMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

bool ExecutablePath(char* out, size_t size) {
  if (size == 0) return false;
  ssize_t n = readlink("/proc/self/exe", out, size - 1);
  if (n <= 0 || static_cast<size_t>(n) >= size - 1) return false;
  out[n] = '\0';
  return true;
}

const char16_t kPathSeparator = u'/';
const char16_t kExecutableSuffix[] = u"";
const char16_t kDebugHelpLibrary[] = u"libdw.so.1";
const int kCrashSenderWaitMs = 10000;

bool LocalDataDirectory(char* out, size_t size) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  int n = -1;
  if (xdg && xdg[0] == '/') {
    n = std::snprintf(out, size, "%s", xdg);
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    n = std::snprintf(out, size, "%s/.local/share", home);
  } else {
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) != 0 || !found || !pw.pw_dir) return false;
    n = std::snprintf(out, size, "%s/.local/share", pw.pw_dir);
  }
  return n > 0 && static_cast<size_t>(n) < size;
}

bool ReadableFile(const char* path) {
  ScopedFileHandle fd(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  return fd.is_valid() && fstat(fd.get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool ProbeLibrary(const char* path) {
  void* handle = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
  if (!handle) return false;
  dlclose(handle);
  return true;
}

bool NewGuid(char out[37]) {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  std::snprintf(out, 37, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3],
                b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return true;
}

}  // namespace platform
