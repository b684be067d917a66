#pragma once
// Owns the tunnel's exit event: OpenVPN (through the service) ends when it is set.
// The tunnel service owns the object; this side opens it (creating it only when
// none exists) and follows the name again when the service has replaced it.
// Used from the user-interface thread only.
#include <memory>

#include "platform/named_event.h"
#include "runtime/well_known.h"

class Signal {
 public:
  Signal();
  // Sets the event once more, so a running OpenVPN ends with the program.
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  void Set();
  void Reset();
  const char* GetName() const { return kExitEventName; }
  bool IsValid() const { return event_ != nullptr; }

 private:
  platform::NamedEvent* Current();

  std::unique_ptr<platform::NamedEvent> event_;
};
