#include "runtime/signal.h"

Signal::Signal() : event_(platform::NamedEvent::Create(kExitEventName, platform::EventReset::Manual, false)) {}

Signal::~Signal() { Set(); }

// The tunnel service binds the name to a new object at each start; a mapping
// of the old one would be set in vain, so the name is followed again.
platform::NamedEvent* Signal::Current() {
  if (!event_ || !event_->IsCurrent()) {
    auto fresh = platform::NamedEvent::Create(kExitEventName, platform::EventReset::Manual, false);
    if (fresh) event_ = std::move(fresh);
  }
  return event_.get();
}

void Signal::Set() {
  if (platform::NamedEvent* event = Current()) event->Set();
}

void Signal::Reset() {
  if (platform::NamedEvent* event = Current()) event->Reset();
}
