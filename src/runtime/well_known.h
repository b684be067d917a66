#pragma once
// Names and numbers that the front end, the tunnel service and the tests must
// agree on, in one place.
#include <cstdint>

// The tunnel service's endpoint: the named pipe on Windows, a Unix socket on
// Linux (platform::DefaultServiceEndpoint picks the one of the running system).
inline constexpr const char* kServicePipeWindows = "\\\\.\\pipe\\QuorvantaPipe";
inline constexpr const char* kServicePipeLinux = "/run/quorvanta/QuorvantaPipe";

// OpenVPN ends when the service sees this event set.
inline constexpr const char* kExitEventName = "Global\\Quorvanta_ovpn_exit_1";
// Set by a second start of the program: the running one shows its window.
inline constexpr const char* kShowWindowEventName = "Local\\QuorvantaShow";

// The management port the front end listens on.
inline constexpr unsigned short ManagementPort = 63782;
// The same port as it stands in a tunnel request.
inline constexpr const char* kManagementPortText = "63782";

// Mixed into the callback's digest with the referral code and machine identity.
inline constexpr const char* kCallbackSalt = "Tq7#k2Wm5";
