#include "platform/thread.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace platform {

bool StartDetachedThread(void (*fn)(void*), void* arg) {
  try {
    std::thread(fn, arg).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
