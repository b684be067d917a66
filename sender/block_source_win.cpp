#include "block_source.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "crash_block.h"
#include "platform/shared_memory.h"

namespace sender {

namespace {

// Only the user's own object: another user could hand over a block of lies.
bool OwnedByUs(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return false;
  // Objects of ours are owned by our user or by the owner our token gives new
  // objects (the administrators' group for an elevated administrator).
  // Wine keeps no owner for such objects (Windows always does); the session's
  // own namespace admits only this user, the system and administrators anyway.
  bool ours = owner == nullptr;
  HANDLE token = nullptr;
  if (!ours && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    alignas(TOKEN_USER) BYTE buffer[256];
    DWORD length = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length))
      ours = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
    if (!ours && GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &length))
      ours = EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner) != FALSE;
    CloseHandle(token);
  }
  LocalFree(sd);
  return ours;
}

}  // namespace

// A page-file-backed mapping cannot be shrunk under its readers: the copy is
// made straight from the view.
bool CopyCrashBlock(const char* name, std::vector<unsigned char>* bytes, std::string* error) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, name);
  if (!mapping) {
    *error = "no crash block of that name";
    return false;
  }
  const bool ours = OwnedByUs(mapping);
  CloseHandle(mapping);
  if (!ours) {
    *error = "the crash block is not the user's own";
    return false;
  }
  auto block = platform::SharedMemory::Open(name, false);
  if (!block || block->Size() == 0) {
    *error = "the crash block is empty";
    return false;
  }
  const size_t size = block->Size() < kBlockSize ? block->Size() : kBlockSize;
  bytes->assign(block->Data(), block->Data() + size);
  return true;
}

}  // namespace sender
