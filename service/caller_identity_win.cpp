#include "caller_identity_win.h"

#include <cstdio>
#include <cstring>

#include "platform/account_win.h"
#include "supervisor.h"

namespace tunneld {

namespace {

bool HasEnabledGroup(HANDLE token, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(type, nullptr, sid, &sidSize)) return false;
  alignas(TOKEN_GROUPS) BYTE buffer[8192];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenGroups, buffer, sizeof buffer, &size)) return false;
  const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer);
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) && EqualSid(groups->Groups[i].Sid, sid)) return true;
  }
  return false;
}

// The user of a token in the service's naming, and whether it may replace
// anyone's OpenVPN.
bool IdentityOfToken(HANDLE token, CallerIdentity* caller) {
  char sid[platform::kSidTextSize];
  if (!platform::TokenUserSid(token, sid, sizeof sid)) return false;
  std::snprintf(caller->name, sizeof caller->name, "user %s", sid);
  caller->privileged =
      std::strcmp(sid, platform::kLocalSystemSid) == 0 || HasEnabledGroup(token, WinBuiltinAdministratorsSid);
  return true;
}

}  // namespace

bool CountingIdentity(HANDLE pipe, CallerIdentity* caller) {
  ULONG pid = 0;
  char sid[platform::kSidTextSize];
  if (!GetNamedPipeClientProcessId(pipe, &pid) || !platform::ProcessUserSid(pid, sid, sizeof sid)) return false;
  std::snprintf(caller->name, sizeof caller->name, "user %s", sid);
  return true;
}

bool IdentifyCaller(HANDLE pipe, CallerIdentity* caller) {
  if (!ImpersonateNamedPipeClient(pipe)) return false;
  HANDLE token = nullptr;
  bool ok = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
  const DWORD error = GetLastError();
  // Back to the service's own rights before anything else runs on this thread.
  if (!RevertToSelf()) {
    Log("cannot stop impersonating a client (error %lu); the service stops",
        static_cast<unsigned long>(GetLastError()));
    ExitProcess(1);
  }
  if (ok) {
    ok = IdentityOfToken(token, caller);
    CloseHandle(token);
  } else {
    SetLastError(error);
  }
  // The session watches the process that asked; the service checks that it is the caller's.
  ULONG pid = 0;
  if (ok && GetNamedPipeClientProcessId(pipe, &pid)) caller->pid = static_cast<long>(pid);
  return ok;
}

}  // namespace tunneld
