#pragma once
// The tunnel request: one NUL-terminated OpenVPN command line written by the
// front end. The service runs as root, so it accepts only the exact command
// line the front end composes and turns it into an argv for execve.
#include <cstddef>

#include "runtime/well_known.h"

namespace tunneld {

inline constexpr size_t kMaxRequestSize = 1024;  // text and its NUL
inline constexpr int kMaxRequestArgs = 40;
inline constexpr size_t kMaxEventNameSize = 128;
inline constexpr size_t kMaxEntryWord = 254;  // a profile token's longest
// The only exit event and management port a request may name: another name
// would take a watcher, another port would hand the root OpenVPN's management
// to whoever listens there.
inline constexpr const char* kServiceExitEvent = kExitEventName;
inline constexpr const char* kServiceManagementPort = kManagementPortText;

struct TunnelCommand {
  // Tokens of the request, each NUL-terminated, in request order, without
  // "openvpn.exe" and without "--service NAME 1".
  char storage[kMaxRequestSize];
  int argc = 0;
  unsigned short offsets[kMaxRequestArgs] = {};
  char exitEvent[kMaxEventNameSize] = {};  // NAME of "--service NAME 1"
  bool scramble = false;                   // "--scramble obfuscate WORD" present

  const char* Arg(int i) const { return storage + offsets[i]; }
};

// Checks the bytes read from one connection. On success fills out and returns
// nullptr; otherwise returns a short reason for the log and leaves out unusable.
// The bytes must be the text followed by exactly one NUL, at most
// kMaxRequestSize bytes in all.
const char* ValidateTunnelRequest(const unsigned char* data, size_t size, TunnelCommand* out);

}  // namespace tunneld
