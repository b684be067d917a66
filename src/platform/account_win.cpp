#include "platform/account_win.h"

#include <winsock2.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace platform {

bool TokenUserSid(HANDLE token, char* sid, size_t size) {
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD length = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) return false;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return false;
  const bool ok = WideCharToMultiByte(CP_UTF8, 0, text, -1, sid, static_cast<int>(size), nullptr, nullptr) > 0;
  LocalFree(text);
  return ok;
}

bool ProcessUserSid(DWORD pid, char* sid, size_t size) {
  if (pid == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  HANDLE token = nullptr;
  const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token) != FALSE;
  CloseHandle(process);
  if (!opened) return false;
  const bool ok = TokenUserSid(token, sid, size);
  CloseHandle(token);
  return ok;
}

const char* OwnUserSid() {
  static const std::string own = [] {
    char sid[kSidTextSize] = {};
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      if (!TokenUserSid(token, sid, sizeof sid)) sid[0] = '\0';
      CloseHandle(token);
    }
    return std::string(sid);
  }();
  return own.c_str();
}

bool IsSystemOrOwnUser(const char* sid) {
  if (!sid || !*sid) return false;
  return std::strcmp(sid, kLocalSystemSid) == 0 || (*OwnUserSid() && std::strcmp(sid, OwnUserSid()) == 0);
}

bool RunningOnWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

namespace {

// A whole file of the Unix side (Wine shows the Unix root as Z:).
bool ReadUnixFile(const char* path, std::string* text) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[4096];
  DWORD got = 0;
  // Bounded: the kernel's socket tables are far smaller than this.
  while (text->size() < (16u << 20) && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    text->append(buffer, got);
  CloseHandle(file);
  return true;
}

constexpr unsigned kListenState = 0x0A;

// One row of /proc/net/tcp or tcp6: addresses as the kernel prints them (the
// 32-bit words in this machine's order, equal to the sockets' own values).
struct Row {
  uint32_t local[4] = {}, remote[4] = {};
  unsigned localPort = 0, remotePort = 0, state = 0, uid = 0;
};

bool ParseWords(const char* hex, size_t digits, uint32_t* words) {
  for (size_t w = 0; w < digits / 8; ++w) {
    char part[9] = {};
    std::memcpy(part, hex + 8 * w, 8);
    char* end = nullptr;
    words[w] = static_cast<uint32_t>(std::strtoul(part, &end, 16));
    if (*end) return false;
  }
  return true;
}

bool ParseRow(const char* line, bool v6, Row* row) {
  char local[33], remote[33];
  unsigned localPort, remotePort, state, uid;
  if (std::sscanf(line, " %*u: %32[0-9A-Fa-f]:%4X %32[0-9A-Fa-f]:%4X %2X %*X:%*X %*X:%*X %*X %u", local, &localPort,
                  remote, &remotePort, &state, &uid) != 6)
    return false;
  const size_t digits = v6 ? 32 : 8;
  if (std::strlen(local) != digits || std::strlen(remote) != digits) return false;
  if (!ParseWords(local, digits, row->local) || !ParseWords(remote, digits, row->remote)) return false;
  row->localPort = localPort;
  row->remotePort = remotePort;
  row->state = state;
  row->uid = uid;
  return true;
}

template <typename Visit>
bool EachRow(const char* path, bool v6, Visit visit) {
  std::string text;
  if (!ReadUnixFile(path, &text)) return false;
  size_t at = text.find('\n');  // the heading
  while (at != std::string::npos && at + 1 < text.size()) {
    const size_t end = text.find('\n', at + 1);
    const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    Row row;
    if (ParseRow(line.c_str(), v6, &row) && !visit(row)) break;
    at = end;
  }
  return true;
}

}  // namespace

bool WineConnectionUid(uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress, uint16_t remotePort,
                       uint32_t* uid) {
  bool found = false;
  EachRow("Z:\\proc\\net\\tcp", false, [&](const Row& row) {
    if (row.state != kListenState && row.local[0] == localAddress && row.localPort == ntohs(localPort) &&
        row.remote[0] == remoteAddress && row.remotePort == ntohs(remotePort)) {
      *uid = row.uid;
      found = true;
    }
    return !found;
  });
  return found;
}

bool WineLoopbackListenerUids(uint16_t port, uint32_t* uids, int maxUids, int* count) {
  *count = 0;
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  auto add = [&](const Row& row) {
    if (*count < maxUids) uids[*count] = row.uid;
    *count += 1;
  };
  const bool v4 = EachRow("Z:\\proc\\net\\tcp", false, [&](const Row& row) {
    if (row.state == kListenState && row.localPort == port && (row.local[0] == 0 || row.local[0] == loopback)) add(row);
    return true;
  });
  // A system without IPv6 has no such table; a dual-stack listener could not share the port with ours.
  EachRow("Z:\\proc\\net\\tcp6", true, [&](const Row& row) {
    const uint32_t* a = row.local;
    const bool any = a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0;
    const bool mapped = a[0] == 0 && a[1] == 0 && a[2] == htonl(0xffff) && a[3] == loopback;
    if (row.state == kListenState && row.localPort == port && (any || mapped)) add(row);
    return true;
  });
  return v4;
}

bool WineOwnUid(uint32_t* uid) {
  std::string status;
  if (!ReadUnixFile("Z:\\proc\\self\\status", &status)) return false;
  const size_t at = status.find("\nUid:");
  unsigned real = 0, effective = 0;
  if (at == std::string::npos || std::sscanf(status.c_str() + at + 5, "%u %u", &real, &effective) != 2) return false;
  *uid = effective;
  return true;
}

}  // namespace platform
