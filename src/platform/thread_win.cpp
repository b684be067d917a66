#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {

namespace {

struct Start {
  void (*fn)(void*);
  void* arg;
};

DWORD WINAPI Entry(void* p) {
  Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.fn(start.arg);
  return 0;
}

}  // namespace

bool StartDetachedThread(void (*fn)(void*), void* arg) {
  Start* start = new (std::nothrow) Start{fn, arg};
  if (!start) return false;
  HANDLE thread = CreateThread(nullptr, 0, &Entry, start, 0, nullptr);
  if (!thread) {
    delete start;
    return false;
  }
  CloseHandle(thread);  // detached: nobody joins it
  return true;
}

void SleepMs(unsigned ms) { Sleep(ms); }

}  // namespace platform
