#include "platform/crash_process.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/text_win.h"

namespace platform {

const char16_t kPathSeparator = u'\\';
const char16_t kExecutableSuffix[] = u".exe";
const char16_t kDebugHelpLibrary[] = u"dbghelp.dll";
// A minidump of a large process on a slow disk takes longer than a backtrace
// (and Wine writes even a small one in several seconds).
const int kCrashSenderWaitMs = 30000;

namespace {

// The senders started and not yet reaped, by process id: the handle keeps the
// id from being reused until we have looked at the process.
struct Child {
  std::atomic<DWORD> pid{0};
  std::atomic<HANDLE> handle{nullptr};
};
Child g_children[16];

Child* FindChild(int pid) {
  for (Child& c : g_children)
    if (pid > 0 && c.pid.load() == static_cast<DWORD>(pid)) return &c;
  return nullptr;
}

void Forget(Child* child) {
  HANDLE handle = child->handle.exchange(nullptr);
  child->pid.store(0);
  if (handle) CloseHandle(handle);
}

}  // namespace

int CurrentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

// "<path>" "<block>": the program's path also as the application name, so no
// search decides which program runs; no handles are inherited.
int SpawnSignalSafe(const char* path, char* const argv[]) {
  std::wstring application = WideFromUtf8(path);
  std::wstring line = L"\"" + application + L"\"";
  for (int i = 1; argv[i]; ++i) line += L" \"" + WideFromUtf8(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (application.empty() ||
      !CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return -1;
  CloseHandle(info.hThread);
  for (Child& c : g_children) {
    HANDLE none = nullptr;
    if (c.handle.compare_exchange_strong(none, info.hProcess)) {
      c.pid.store(info.dwProcessId);
      return static_cast<int>(info.dwProcessId);
    }
  }
  CloseHandle(info.hProcess);  // the table is full: it runs unwatched
  return static_cast<int>(info.dwProcessId);
}

bool ChildRunning(int pid) {
  Child* child = FindChild(pid);
  if (!child) return false;
  HANDLE handle = child->handle.load();
  if (handle && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) return true;
  Forget(child);
  return false;
}

void ReapChild(int pid) {
  Child* child = FindChild(pid);
  if (!child) return;
  if (HANDLE handle = child->handle.load()) WaitForSingleObject(handle, INFINITE);
  Forget(child);
}

// Windows lets a process of the same user read another without asking.
void AllowTracer(int) {}

void WriteStderr(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

long MonotonicMs() { return static_cast<long>(GetTickCount64()); }

bool ExecutablePath(char* out, size_t size) {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return false;
  const int w = std::snprintf(out, size, "%s", Utf8FromWide(path, n).c_str());
  return w > 0 && static_cast<size_t>(w) < size;
}

bool LocalDataDirectory(char* out, size_t size) {
  PWSTR folder = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &folder))) return false;
  const int w = std::snprintf(out, size, "%s", Utf8FromWide(folder).c_str());
  CoTaskMemFree(folder);
  return w > 0 && static_cast<size_t>(w) < size;
}

bool ReadableFile(const char* path) {
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = GetFileInformationByHandle(file, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(file);
  return regular;
}

// A bare name goes through the system's search; a path is loaded as it is.
bool ProbeLibrary(const char* path) {
  HMODULE library = LoadLibraryExW(WideFromUtf8(path).c_str(), nullptr, 0);
  if (!library) return false;
  FreeLibrary(library);
  return true;
}

bool NewGuid(char out[37]) {
  GUID g;
  if (FAILED(CoCreateGuid(&g))) return false;
  std::snprintf(out, 37, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return true;
}

}  // namespace platform
