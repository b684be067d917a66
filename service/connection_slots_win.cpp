#include "connection_slots_win.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "supervisor.h"

namespace tunneld {

namespace {

std::mutex g_slotsMutex;
int g_open = 0;
struct Slot {
  char name[sizeof(CallerIdentity::name)];
  int count;
};
Slot g_slots[kMaxConnections];

}  // namespace

bool TakeSlot(const CallerIdentity& caller) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  if (g_open >= kMaxConnections) {
    LogRefused(caller, "refused connection from %s: %d connections are open", caller.name, kMaxConnections);
    return false;
  }
  Slot* free = nullptr;
  for (Slot& s : g_slots) {
    if (s.count > 0 && std::strcmp(s.name, caller.name) == 0) {
      if (s.count >= kMaxPerUser) {
        LogRefused(caller, "refused connection from %s: it already holds %d open connections", caller.name, s.count);
        return false;
      }
      ++s.count;
      ++g_open;
      return true;
    }
    if (s.count == 0 && !free) free = &s;
  }
  std::snprintf(free->name, sizeof free->name, "%s", caller.name);
  free->count = 1;
  ++g_open;
  return true;
}

void GiveSlot(const CallerIdentity& caller) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  for (Slot& s : g_slots) {
    if (s.count > 0 && std::strcmp(s.name, caller.name) == 0) {
      --s.count;
      --g_open;
      return;
    }
  }
}

}  // namespace tunneld
