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

// The management port the front end listens on.
inline constexpr unsigned short ManagementPort = 63782;
// The same port as it stands in a tunnel request.
inline constexpr const char* kManagementPortText = "63782";

// Mixed into the callback's digest with the referral code and machine identity.
inline constexpr const char* kCallbackSalt = "Tq7#k2Wm5";

// Messages posted to the user-interface thread, with the Win32 values where
// the message is a Win32 one.
inline constexpr uint32_t WM_CLOSE = 16;
inline constexpr uint32_t WM_COMMAND = 273;
inline constexpr uint32_t WM_LBUTTONDOWN = 513;
inline constexpr uint32_t WM_RBUTTONDOWN = 516;
inline constexpr uint32_t WM_TRAYICON = 32769;
inline constexpr uint32_t WM_SERVICE_STATUS = 2001;
inline constexpr uint32_t WM_TUNNEL_UP = 2002;
inline constexpr uint32_t WM_MGMT_CONNECTED = 2003;
inline constexpr uint32_t WM_MGMT_DISCONNECTED = 2004;
inline constexpr uint32_t WM_MGMT_BYTECOUNT = 2005;
// The headless window's own: the lines "connect", "disconnect", "quit".
inline constexpr uint32_t kHeadlessConnect = 0x8101;
inline constexpr uint32_t kHeadlessDisconnect = 0x8102;
inline constexpr uint32_t kHeadlessQuit = 0x8103;
