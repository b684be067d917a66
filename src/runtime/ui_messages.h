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
  Close = 16,            // WM_CLOSE: a posted one ends the message loop
  KeyDown = 256,         // WM_KEYDOWN
  Command = 273,         // WM_COMMAND: a tray menu item
  LeftButtonDown = 513,  // WM_LBUTTONDOWN, as a tray icon's mouse message
  RightButtonDown = 516, // WM_RBUTTONDOWN
  // The program's own.
  WM_SERVICE_STATUS = 2001,
  WM_TUNNEL_UP = 2002,
  WM_MGMT_CONNECTED = 2003,
  WM_MGMT_DISCONNECTED = 2004,
  WM_MGMT_BYTECOUNT = 2005,
  WM_TRAYICON = 32769,
  // The headless window's: the lines "connect", "disconnect", "quit".
  HeadlessConnect = 0x8101,
  HeadlessDisconnect = 0x8102,
  HeadlessQuit = 0x8103,
  // The shell's notification area came back ("TaskbarCreated", whose number
  // the system gives at run time): the tray icon is added again.
  TaskbarCreated = 0x8104,
};

// The tray menu's commands, as WM_COMMAND's wParam.
enum MenuCommand : uintptr_t {
  IDM_CONNECT = 1001,
  IDM_DISCONNECT = 1002,
  IDM_VISIT_SITE = 1003,
  IDM_EXIT = 1004,
};

}  // namespace msg
