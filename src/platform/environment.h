#pragma once
// Process environment values the program reads.
namespace platform {

// Ends the configuration folders read from the settings store.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The vendor's web-site base: QUORVANTA_SITE, else the build's default, without
// trailing "/". Valid on the calling thread until its next call.
const char* SiteBase();

// The tunnel service's endpoint when QUORVANTA_PIPE names none: the named
// pipe on Windows, a Unix socket on Linux.
inline constexpr const char* kServicePipeWindows = "\\\\.\\pipe\\QuorvantaPipe";
inline constexpr const char* kServicePipeLinux = "/run/quorvanta/QuorvantaPipe";
const char* DefaultServiceEndpoint();
// The directory of per-user runtime objects: $XDG_RUNTIME_DIR, else
// /tmp/quorvanta-<uid>, else $XDG_CACHE_HOME (or ~/.cache)/quorvanta-run; each
// used only when it is a directory of the user's own that no one else may
// enter. Empty when none is.
const char* RuntimeDirectory();

}  // namespace platform
