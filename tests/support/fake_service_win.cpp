#include "support/fake_service.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>

struct FakeService::Native {
  HANDLE stop = nullptr;
};

namespace {

std::atomic<unsigned> g_count{0};

HANDLE NewInstance(const std::string& path) {
  return CreateNamedPipeA(path.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 0, 4096, 0, nullptr);
}

// Waits for a client on pipe, or for stop; false once stopped.
bool WaitClient(HANDLE pipe, HANDLE stop) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool stopped = false;
  // Connected, or a client that has written and gone already: its bytes are
  // still there to read, and a failed connection reads as nothing.
  if (!ConnectNamedPipe(pipe, &overlapped) && GetLastError() == ERROR_IO_PENDING) {
    HANDLE waits[2] = {overlapped.hEvent, stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      stopped = true;
    }
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  }
  CloseHandle(overlapped.hEvent);
  return !stopped;
}

std::string ReadToEnd(HANDLE pipe) {
  std::string bytes;
  char buffer[512];
  OVERLAPPED read{};
  read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    DWORD n = 0;
    ResetEvent(read.hEvent);
    if (!ReadFile(pipe, buffer, sizeof buffer, &n, &read)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(pipe, &read, &n, TRUE)) break;
    }
    if (n == 0) break;
    bytes.append(buffer, n);
  }
  CloseHandle(read.hEvent);
  return bytes;
}

}  // namespace

FakeService::FakeService(bool, int) : native_(std::make_unique<Native>()) {
  path_ = "\\\\.\\pipe\\qvtest-service-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_count);
  native_->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!native_->stop) std::abort();
  // Made here, so that clients find the pipe as soon as the constructor returns.
  HANDLE first = NewInstance(path_);
  if (first == INVALID_HANDLE_VALUE) std::abort();
  thread_ = std::thread([this, first] {
    HANDLE pipe = first;
    while (WaitClient(pipe, native_->stop)) {
      // The next instance waits before this one is read, so no client finds none.
      HANDLE next = NewInstance(path_);
      Record(ReadToEnd(pipe));
      DisconnectNamedPipe(pipe);
      CloseHandle(pipe);
      if (next == INVALID_HANDLE_VALUE) return;
      pipe = next;
    }
    CloseHandle(pipe);
  });
}

FakeService::~FakeService() {
  SetEvent(native_->stop);
  if (thread_.joinable()) thread_.join();
  CloseHandle(native_->stop);
}

std::string FakeService::AbsentPath() { return "\\\\.\\pipe\\qvtest-absent-" + std::to_string(GetCurrentProcessId()); }

// Busy pipes are tested against the pipe client itself; this stand-in always serves.
void FakeService::AcceptOne() { std::abort(); }
