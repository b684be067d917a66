#pragma once
// The notification-area icon and its menu.
#include <cstdint>

#include "tunnel/controller_view.h"  // TunnelState

inline constexpr uintptr_t IDM_CONNECT = 1001, IDM_DISCONNECT = 1002, IDM_VISIT_SITE = 1003, IDM_EXIT = 1004;

// Implemented by MainWindow; called on the GTK (user-interface) thread.
class TrayHost {
 public:
  virtual ~TrayHost() = default;
  // A press on the icon: WM_LBUTTONDOWN or WM_RBUTTONDOWN, with the root position of the press.
  virtual void OnTrayIcon(uint32_t mouseMessage, int x, int y) = 0;
  // A chosen menu item (IDM_*).
  virtual void OnCommand(uintptr_t id) = 0;
};

struct TrayImpl;

class Tray {
 public:
  explicit Tray(TrayHost& host);   // builds the menu ("Connect", "Disonnect", "Visit <host>", "Exit")
  ~Tray();                         // removes the icon if still shown
  Tray(const Tray&) = delete;
  Tray& operator=(const Tray&) = delete;

  void Add(TunnelState state);     // AddTrayIcon: SNI when a watcher is on the session bus, else XEmbed
  void Update(TunnelState state);  // UpdateTrayIcon: icon, tooltip, menu enabling
  void Remove();                   // RemoveTrayIcon
  void PopupMenu(int x, int y);    // the menu at a root position, its right edge at x
  // For tests and diagnostics:
  bool IsShown() const;
  bool IsMenuItemEnabled(uintptr_t id) const;
  const char* Tooltip() const;
  const char* IconName() const;    // "hand48x48_red.ico" / "_yellow" / "_green"
  const char* Protocol() const;    // "sni", "xembed" or "none"
  // The XEmbed icon's rectangle on the root window; false when not known (SNI, not embedded).
  bool IconArea(int* x, int* y, int* width, int* height) const;

 private:
  TrayImpl* impl_;
};
