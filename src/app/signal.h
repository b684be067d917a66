#pragma once
// Owns the tunnel's exit event: OpenVPN (through the service) ends when it is set.
#include <memory>

#include "platform/named_event.h"

inline constexpr const char* kExitEventName = "Global\\Quorvanta_ovpn_exit_1";

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
  std::unique_ptr<platform::NamedEvent> event_;
};
