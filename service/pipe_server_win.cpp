#include "pipe_server_win.h"

#include <cstdio>
#include <cstring>

#include "caller_identity_win.h"
#include "connection_slots_win.h"
#include "runtime/thread.h"
#include "supervisor.h"
// After the project headers: its macros clash with names they declare.
#include <windows.h>
#include <sddl.h>

namespace tunneld {

namespace {

// System and administrators have everything; interactive users may write
// requests (the front end opens the pipe with GENERIC_WRITE); network logons
// are denied outright. GENERIC_WRITE on a pipe includes the right to add
// instances, so the service keeps every instance the pipe may have: nobody
// else can serve its name while it runs.
constexpr const wchar_t* kPipeSecurity = L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

// More than one caller's share (kMaxPerUser), so that one caller holding all
// of his still leaves room for the others.
constexpr int kPipeInstances = 16;
static_assert(kPipeInstances > kMaxPerUser && kPipeInstances <= kMaxConnections);

HANDLE g_instances[kPipeInstances];

// Reads one request until the client closes its end, at most until the
// deadline; the read in progress is cancelled when the deadline passes. The
// instance is disconnected and kept for the next client.
void Serve(HANDLE pipe, HANDLE done, const CallerIdentity& counted) {
  unsigned char buf[kMaxRequestSize + 1];
  size_t size = 0;
  const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
  bool finished = false, failed = false;
  while (!failed && !finished) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = done;
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, buf + size, static_cast<DWORD>(sizeof buf - size), &got, &ov);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      if (WaitForSingleObject(done, left) != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
      ok = GetOverlappedResult(pipe, &ov, &got, TRUE);
      err = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (ok) {
      size += got;
      if (size > kMaxRequestSize) {
        LogRefused(counted, "refused request from %s: longer than %lu bytes", counted.name,
                   static_cast<unsigned long>(kMaxRequestSize));
        failed = true;
      }
    } else if (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) {
      finished = true;  // the client's end of file
    } else if (err == ERROR_OPERATION_ABORTED) {
      LogRefused(counted, "refused request from %s: the client did not finish within %lu ms (%lu bytes read)",
                 counted.name, static_cast<unsigned long>(kRequestTimeoutMs), static_cast<unsigned long>(size));
      failed = true;
    } else if (err != ERROR_MORE_DATA) {
      LogRefused(counted, "refused request from %s: read failed (error %lu)", counted.name,
                 static_cast<unsigned long>(err));
      failed = true;
    } else {
      size += got;
    }
  }
  // size 0: the probe, which needs no identity.
  CallerIdentity caller;
  const bool wanted = !failed && size > 0;
  const bool identified = wanted && IdentifyCaller(pipe, &caller);
  const DWORD identifyError = GetLastError();
  DisconnectNamedPipe(pipe);
  GiveSlot(counted);
  if (!wanted) return;
  if (!identified) {
    LogRefused(counted, "refused request from %s: the caller cannot be identified (error %lu)", counted.name,
               static_cast<unsigned long>(identifyError));
    return;
  }
  ServeRequest(buf, size, caller);
}

HANDLE MakeInstance(const wchar_t* name, SECURITY_ATTRIBUTES* security, bool first) {
  DWORD mode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED;
  // The first instance must be ours: if someone already serves the name, stop.
  if (first) mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeW(name, mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                          kPipeInstances, 0, kMaxRequestSize + 1, 0, security);
}

// One instance's life: take a client, serve it, disconnect, take the next.
// The handle is never closed, so the instance is never free for anyone else.
void ServeInstance(HANDLE pipe) {
  HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!connected || !done) {
    Log("cannot serve an instance of the pipe: no event (error %lu)", static_cast<unsigned long>(GetLastError()));
    return;  // the instance stays ours, unserved
  }
  for (;;) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = connected;
    BOOL ok = ConnectNamedPipe(pipe, &ov);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
      DWORD ignored = 0;
      ok = GetOverlappedResult(pipe, &ov, &ignored, TRUE);
      err = ok ? ERROR_SUCCESS : GetLastError();
    }
    // ERROR_NO_DATA: the client has written and closed already; what it wrote is still there.
    if (!ok && err != ERROR_PIPE_CONNECTED && err != ERROR_NO_DATA) {
      Log("a connection failed before it was served (error %lu)", static_cast<unsigned long>(err));
      DisconnectNamedPipe(pipe);
      Sleep(100);  // a failing instance must not spin
      continue;
    }
    CallerIdentity counted;
    if (!CountingIdentity(pipe, &counted)) std::snprintf(counted.name, sizeof counted.name, "an unknown process");
    if (!TakeSlot(counted)) {
      DisconnectNamedPipe(pipe);
      continue;
    }
    Serve(pipe, done, counted);
  }
}

}  // namespace

bool OpenPipe(const char* pipe) {
  static wchar_t name[256];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pipe, -1, name, 256) <= 0) {
    Log("the pipe name is not valid: %s", pipe);
    return false;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
    Log("cannot build the pipe's security descriptor (error %lu)", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  static SECURITY_ATTRIBUTES security;
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = descriptor;
  security.bInheritHandle = FALSE;
  for (int i = 0; i < kPipeInstances; ++i) {
    g_instances[i] = MakeInstance(name, &security, i == 0);
    if (g_instances[i] != INVALID_HANDLE_VALUE) continue;
    const DWORD err = GetLastError();
    if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
      Log("another program is already serving %s", pipe);
    } else {
      Log("cannot create the pipe %s (error %lu)", pipe, static_cast<unsigned long>(err));
    }
    for (int j = 0; j < i; ++j) CloseHandle(g_instances[j]);
    return false;
  }
  return true;
}

bool ServePipe() {
  // Plain Win32 threads: under Wine a detached std::thread started while
  // another one ends sometimes never runs at all.
  int serving = 0;
  for (HANDLE instance : g_instances) {
    if (StartWorker(
            +[](void* pipe) { ServeInstance(static_cast<HANDLE>(pipe)); }, instance))
      ++serving;
  }
  if (serving == 0) {
    Log("cannot start a thread to serve the pipe (error %lu)", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  return true;
}

void ClosePipe() {
  for (HANDLE instance : g_instances) CloseHandle(instance);
}

}  // namespace tunneld
