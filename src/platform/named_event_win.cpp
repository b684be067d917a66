#include "platform/named_event.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include <cstring>

namespace platform {

namespace {

bool Widen(const char* name, wchar_t* out, int size) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out, size) != 0;
}

bool IsGlobal(const char* name) { return std::strncmp(name, "Global\\", 7) == 0; }

// What a user's handle may do: wait, set and reset; never change who may.
constexpr DWORD kUserRights = SYNCHRONIZE | EVENT_MODIFY_STATE;

// The service's event: the system and administrators may do anything; the
// owner (whoever made it first) and the users may only wait, set and reset.
// The users are userSid alone, or every signed-in user when it is null.
bool ServiceDescriptor(const char* userSid, PSECURITY_DESCRIPTOR* sd) {
  wchar_t user[200] = L"AU";
  if (userSid && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, userSid, -1, user, 200) == 0) return false;
  wchar_t text[400];
  std::swprintf(text, 400, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x%lx;;;OW)(A;;0x%lx;;;%ls)",
                static_cast<unsigned long>(kUserRights), static_cast<unsigned long>(kUserRights), user);
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, sd, nullptr) != FALSE;
}

// Makes this process's user the owner of an object someone else made, where
// the object allows it; the owner-rights entry limits a stranger owner anyway.
void TakeOwnership(HANDLE object) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD length = 0;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length))
    SetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                    reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, nullptr, nullptr, nullptr);
  CloseHandle(token);
}

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
  // A null DACL when we make it: the service (LocalSystem) and every user's
  // front end share the global event. An existing one (the service's) is
  // opened with only the rights its DACL gives users.
  SECURITY_DESCRIPTOR sd;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  if (global) {
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE))
      return nullptr;
    sa.lpSecurityDescriptor = &sd;
  }
  const DWORD flags =
      (reset == EventReset::Manual ? CREATE_EVENT_MANUAL_RESET : 0) | (initiallySet ? CREATE_EVENT_INITIAL_SET : 0);
  HANDLE h = CreateEventExW(global ? &sa : nullptr, wide, flags, kUserRights);
  if (!h) return nullptr;  // among others ERROR_INVALID_HANDLE: the name holds another kind of object
  return Adopt(h, name, global);
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const char* name) {
  wchar_t wide[280];
  if (!Widen(name, wide, 280)) return nullptr;
  HANDLE h = OpenEventW(kUserRights, FALSE, wide);
  if (!h) return nullptr;
  return Adopt(h, name, IsGlobal(name));
}

// A kernel object lives while anyone holds it and cannot be taken from its
// holders: the name keeps its event, which starts clear again. A "Global\"
// event is the service's: made with its DACL, and one made before (by a
// front end, or by anybody) is given that DACL and, where we may, our ownership.
std::unique_ptr<NamedEvent> NamedEvent::Replace(const char* name, EventReset reset) {
  const bool global = IsGlobal(name);
  if (!global) {
    std::unique_ptr<NamedEvent> event = Create(name, reset, false);
    if (event) event->Reset();
    return event;
  }
  if (reset == EventReset::Auto) return nullptr;
  wchar_t wide[280];
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!Widen(name, wide, 280) || !ServiceDescriptor(nullptr, &sd)) return nullptr;
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  HANDLE h = CreateEventExW(&sa, wide, CREATE_EVENT_MANUAL_RESET, EVENT_ALL_ACCESS);
  const DWORD error = GetLastError();
  LocalFree(sd);
  if (!h) return nullptr;
  std::unique_ptr<NamedEvent> event = Adopt(h, name, true);
  if (error == ERROR_ALREADY_EXISTS) {
    TakeOwnership(h);
    if (!event->RestrictTo(nullptr)) return nullptr;
  }
  event->Reset();
  return event;
}

// The per-user DACL replaces the one for every user while a tunnel runs.
std::unique_ptr<NamedEvent> NamedEvent::ReplaceForUser(const char* name, EventReset reset, uint32_t) {
  return Replace(name, reset);
}

std::unique_ptr<NamedEvent> NamedEvent::ReplaceWithOwner(const char* name, EventReset reset, long long) {
  return Replace(name, reset);
}

bool NamedEvent::RestrictTo(const char* userSid) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ServiceDescriptor(userSid, &sd)) return false;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  DWORD r = ERROR_INVALID_SECURITY_DESCR;
  if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present)
    r = SetSecurityInfo(fd_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
  LocalFree(sd);
  SetLastError(r);
  return r == ERROR_SUCCESS;
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
