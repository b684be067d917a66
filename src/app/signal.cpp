#include "app/signal.h"

Signal::Signal()
    : event_(platform::NamedEvent::Create(kExitEventName, platform::EventReset::Manual, false)) {}

Signal::~Signal() {
  if (event_) Set();
}

void Signal::Set() {
  if (event_) event_->Set();
}

void Signal::Reset() {
  if (event_) event_->Reset();
}
