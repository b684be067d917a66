#include "platform/named_event.h"

#include <windows.h>

#include <cstring>

namespace platform {

namespace {

bool Widen(const char* name, wchar_t* out, int size) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out, size) != 0;
}

bool IsGlobal(const char* name) { return std::strncmp(name, "Global\\", 7) == 0; }

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Adopt(FileHandle handle, const char*, bool global) {
  std::unique_ptr<NamedEvent> event(new NamedEvent());
  event->fd_ = handle;
  event->global_ = global;
  return event;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const char* name, EventReset reset, bool initiallySet) {
  const bool global = IsGlobal(name);
  if (global && reset == EventReset::Auto) return nullptr;
  wchar_t wide[280];
  if (!Widen(name, wide, 280)) return nullptr;
  // A null DACL: the service (LocalSystem) and every user's front end share the global event.
  SECURITY_DESCRIPTOR sd;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  if (global) {
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE))
      return nullptr;
    sa.lpSecurityDescriptor = &sd;
  }
  HANDLE h = CreateEventW(global ? &sa : nullptr, reset == EventReset::Manual, initiallySet, wide);
  if (!h) return nullptr;  // among others ERROR_INVALID_HANDLE: the name holds another kind of object
  return Adopt(h, name, global);
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const char* name) {
  wchar_t wide[280];
  if (!Widen(name, wide, 280)) return nullptr;
  HANDLE h = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, wide);
  if (!h) return nullptr;
  return Adopt(h, name, IsGlobal(name));
}

// A kernel object lives while anyone holds it and cannot be taken from its
// holders: the name keeps its event, which starts clear again.
std::unique_ptr<NamedEvent> NamedEvent::Replace(const char* name, EventReset reset) {
  std::unique_ptr<NamedEvent> event = Create(name, reset, false);
  if (event) event->Reset();
  return event;
}

// Per-user access to the event is a DACL of its own, not done yet.
std::unique_ptr<NamedEvent> NamedEvent::ReplaceForUser(const char* name, EventReset reset, uint32_t) {
  return Replace(name, reset);
}

std::unique_ptr<NamedEvent> NamedEvent::ReplaceWithOwner(const char* name, EventReset reset, long long) {
  return Replace(name, reset);
}

NamedEvent::~NamedEvent() { CloseFileHandle(fd_); }

void NamedEvent::Set() { SetEvent(fd_); }
void NamedEvent::Reset() { ResetEvent(fd_); }

bool NamedEvent::Wait(int timeoutMs) {
  return WaitForSingleObject(fd_, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

bool NamedEvent::IsCurrent() const { return true; }

// Kernel objects vanish with their last handle; there is nothing to remove.
void RemoveNamedEvent(const char*) {}

}  // namespace platform
