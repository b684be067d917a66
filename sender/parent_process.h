#pragma once
// The process the sender works for.
#include "platform/named_event.h"

namespace sender {

// The process that started the sender: the only one it reads.
int ParentProcess();

// Waits until the event is set or the process ends; true for the event.
bool WaitForEventOrExit(platform::NamedEvent* event, int pid);

}  // namespace sender
