#pragma once
// Every message and command number the user-interface thread receives, in one
// place. They live in a namespace under names that <windows.h> does not define
// as macros, so this header may be included before or after it; the Win32
// numbers are the system's own (the Windows backends check them against
// <windows.h> at compile time).
#include <cstdint>

namespace msg {

enum Message : uint32_t {
  // The system's messages the program posts or receives.
  Close = 16,             // WM_CLOSE: a posted one ends the message loop
  KeyDown = 256,          // WM_KEYDOWN
  Command = 273,          // WM_COMMAND: a tray menu item
  LeftButtonDown = 513,   // WM_LBUTTONDOWN, as a tray icon's mouse message
  RightButtonDown = 516,  // WM_RBUTTONDOWN
  // The program's own.
  WM_SERVICE_STATUS = 2001,
  WM_TUNNEL_UP = 2002,
  WM_MGMT_CONNECTED = 2003,
  WM_MGMT_DISCONNECTED = 2004,
  WM_MGMT_BYTECOUNT = 2005,       // 64-bit counters: received in wParam, sent in lParam
  WM_TUNNEL_RECONNECTING = 2006,  // OpenVPN restarts its tunnel; wParam a ReconnectReason
  WM_NETWORK_CHANGED = 2007,      // wParam a NetworkChange: resumed, or the default route moved
  WM_TRAYICON = 32769,
  // The headless window's: the lines "connect", "disconnect", "quit".
  HeadlessConnect = 0x8101,
  HeadlessDisconnect = 0x8102,
  HeadlessQuit = 0x8103,
  // The shell's notification area came back ("TaskbarCreated", whose number
  // the system gives at run time): the tray icon is added again.
  TaskbarCreated = 0x8104,
  // A second start of the program asked this one to show its window.
  ShowWindowRequest = 0x8105,
};

// Why OpenVPN restarts its tunnel (the reason field of its RECONNECTING state).
enum ReconnectReason : uintptr_t {
  ReconnectOther = 0,
  ReconnectPingTimeout = 1,  // "ping-restart": nothing heard from the server
  ReconnectServerReset = 2,  // the server restarted ("server-pushed-connection-reset", "connection-reset")
  ReconnectAsked = 3,        // "SIGUSR1": we or somebody asked for it
  ReconnectTlsError = 4,     // "tls-error": the handshake did not finish
};

enum NetworkChange : uintptr_t {
  NetworkResumed = 1,       // the machine woke from suspend
  NetworkRouteChanged = 2,  // the default route, or its interface, changed
};

// The tray menu's commands, as WM_COMMAND's wParam.
enum MenuCommand : uintptr_t {
  IDM_CONNECT = 1001,
  IDM_DISCONNECT = 1002,
  IDM_VISIT_SITE = 1003,
  IDM_EXIT = 1004,
};

}  // namespace msg
