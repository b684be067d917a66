#pragma once
// What the connection controller drives: the page, the tray and the window.
// The window layer implements it; tests record it.
#include <cstdint>

#include "runtime/well_known.h"
#include "tunnel/tunnel_state.h"

// Changes the user did not cause, told on the desktop while the window is hidden.
enum class Notice : uint32_t {
  ConnectionLost = 0,  // the tunnel went down and is being brought back
  ConnectionBack = 1,  // it is up again
  NextServer = 2,      // the server went away; the next one is asked for
  GaveUp = 3,          // no server is left
};

// The notice's title and body, short enough for any notification service;
// the service names the program beside them (libnotify's application name, the tray icon's balloon).
const char* NoticeTitle(Notice notice);
const char* NoticeText(Notice notice);

class ControllerView {
 public:
  virtual ~ControllerView() = default;
  // Calls the page's script function name with narrow texts; the result is not used.
  virtual void CallPageFunction(const char* name, const char* const* args, int count) = 0;
  virtual void UpdateTrayIcon(ShownState state) = 0;
  virtual void Display() = 0;
  virtual void Hide() = 0;
  // A desktop notification; only shown while the window is hidden.
  virtual void Notify(Notice) {}
};
