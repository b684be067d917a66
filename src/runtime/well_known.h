#pragma once
// Names and numbers that the front end, the tunnel service and the tests must
// agree on, in one place.
#include <cstdint>

// The tunnel service's endpoint (platform::kServicePipeWindows and
// kServicePipeLinux) is the platform's: DefaultServiceEndpoint picks it.

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
