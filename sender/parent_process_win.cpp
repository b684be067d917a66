#include "parent_process.h"

#include <windows.h>
#include <tlhelp32.h>

namespace sender {

int ParentProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return static_cast<int>(parent);
}

// The event has no handle to wait on together with the process, so the wait
// goes in slices and looks at the process between them.
bool WaitForEventOrExit(platform::NamedEvent* event, int pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return false;  // already gone
  bool signalled = false;
  while (!(signalled = event->Wait(100))) {
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
  }
  CloseHandle(process);
  return signalled;
}

}  // namespace sender
