#pragma once
// Named events shared between processes (front end as the user, the tunnel
// service as root). "Global\..." names are manual-reset and world-accessible;
// "Local\..." names are auto-reset and private to the user.
#include <memory>

namespace platform {

enum class EventReset { Manual, Auto };

class NamedEvent {
 public:
  // Creates the event, or opens it when it already exists. nullptr when an
  // object of that name cannot be made or is not an event.
  static std::unique_ptr<NamedEvent> Create(const char* name, EventReset reset, bool initiallySet);
  // Opens an existing event; nullptr when there is none.
  static std::unique_ptr<NamedEvent> Open(const char* name);

  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  void Set();
  void Reset();
  // true when the event was (or became) set within timeoutMs (-1: for ever).
  bool Wait(int timeoutMs);

  struct Shared;

 private:
  explicit NamedEvent(Shared* shared) : shared_(shared) {}
  Shared* shared_;
};

// Removes the backing object of a name (tests and the service's clean-up).
void RemoveNamedEvent(const char* name);

}  // namespace platform
