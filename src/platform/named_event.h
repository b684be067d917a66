#pragma once
// Named events shared between processes (front end as the user, the tunnel
// service as root). "Global\..." names are manual-reset and world-accessible;
// "Local\..." names are private to the user, manual- or auto-reset.
//
// The shared object holds only two 32-bit words: a kind tag and the state
// (0 clear, any other value set). Nothing in it is a lock or a pointer, so a
// stranger who writes a "Global\" object can only set or reset it. Every access
// to a "Global\" object goes through futex system calls, which fail instead of
// faulting when a stranger truncates the object; the event then restores its
// size (clear) and carries on.
//
// Set, Reset, Wait and IsCurrent on an event already opened are
// async-signal-safe: they make only futex, clock_gettime, clock_nanosleep,
// ftruncate and stat system calls, and never allocate or lock.
#include <cstdint>
#include <memory>

#include "platform/handle.h"

namespace platform {

enum class EventReset { Manual, Auto };

class NamedEvent {
 public:
  // Creates the event, or opens it when it already exists. nullptr when an
  // object of that name cannot be made or is not an event, for an auto-reset
  // "Global\" event, and for a "Local\" object that is not private to this user.
  static std::unique_ptr<NamedEvent> Create(const char* name, EventReset reset, bool initiallySet);
  // Opens an existing event; nullptr when there is none.
  static std::unique_ptr<NamedEvent> Open(const char* name);
  // Binds the name to a new, clear event owned by this user, in one step,
  // whatever object held the name before (left by an earlier run or made by
  // another user). nullptr when the old object may not be replaced.
  static std::unique_ptr<NamedEvent> Replace(const char* name, EventReset reset);
  // The same, for a "Global\" name, with an event that only the user
  // ownerUid (and root) may open: the tunnel service hands the event of a
  // running tunnel to the user it runs for. Windows: as Replace.
  static std::unique_ptr<NamedEvent> ReplaceForUser(const char* name, EventReset reset, uint32_t ownerUid);

  // Windows, where a name keeps its event while anyone holds it: from now on
  // only the user userSid ("S-1-5-…"; null: every signed-in user), the owner
  // and the system may open it, and they only to wait, set and reset; handles
  // opened before keep their rights. Linux rebinds the name instead: false.
  bool RestrictTo(const char* userSid);

  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  void Set();
  void Reset();
  // true when the event was (or became) set within timeoutMs (-1: for ever).
  bool Wait(int timeoutMs);
  // false once the name leads to another object (or to none): the owner has
  // replaced or removed it while this mapping lives on.
  bool IsCurrent() const;

 private:
  NamedEvent() = default;
  // Maps an opened object after checking that it can be an event; takes fd.
  static std::unique_ptr<NamedEvent> Adopt(FileHandle fd, const char* path, bool global);
  static std::unique_ptr<NamedEvent> ReplaceWithOwner(const char* name, EventReset reset, long long owner);
  bool TakeIfSet();
  bool Repair();

  FileHandle fd_ = kInvalidFileHandle;  // the shared object (Linux) or the event (Windows)
  unsigned* words_ = nullptr;           // kind tag, then state (Linux)
  bool manual_ = true;
  bool global_ = false;
  unsigned long long dev_ = 0, ino_ = 0;
  char path_[512] = {};
};

// Removes the backing object of a name (tests and the service's clean-up).
void RemoveNamedEvent(const char* name);

}  // namespace platform
