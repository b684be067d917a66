#pragma once
// The notification-area icon and its menu: the model (items, texts, enabling,
// icon and tooltip per state) is here; the icon itself is the system's
// (TrayBackend: StatusNotifierItem or XEmbed on Linux, Shell_NotifyIconW on Windows).
#include <cstdint>
#include <cstring>
#include <memory>

#include "runtime/ui_messages.h"
#include "tunnel/controller_view.h"  // ShownState, Notice

// Implemented by MainWindow; called on the user-interface thread.
class TrayHost {
 public:
  virtual ~TrayHost() = default;
  // A press on the icon: msg::LeftButtonDown or msg::RightButtonDown, with the root position of the press.
  virtual void OnTrayIcon(uint32_t mouseMessage, int x, int y) = 0;
  // A chosen menu item (IDM_*).
  virtual void OnCommand(uintptr_t id) = 0;
  // The window that owns the icon and its menu (an HWND on Windows); null for none.
  virtual void* TrayOwnerWindow() const { return nullptr; }
};

// What the icon shows and what its menu offers, for one state.
struct TrayModel {
  static constexpr int kItemCount = 4;
  static constexpr uintptr_t kItemIds[kItemCount] = {msg::IDM_CONNECT, msg::IDM_DISCONNECT, msg::IDM_VISIT_SITE,
                                                     msg::IDM_EXIT};
  static constexpr int kIconSizes[4] = {16, 24, 32, 48};
  static constexpr const char* kIconNames[TrayColourCount] = {"hand48x48_red.ico", "hand48x48_yellow.ico",
                                                              "hand48x48_green.ico"};

  TrayModel();  // the texts: "Connect", "Disonnect", "Visit <host>", "Exit"

  ShownState state = ShownState::WaitingForService;
  // The machine blocks traffic outside the tunnel while a tunnel is wanted:
  // the tooltip of the yellow and green states says so.
  bool blocking = false;
  char tooltip[128] = {};
  bool enabled[kItemCount] = {false, false, true, true};
  char visitText[300] = {};

  void SetState(ShownState next);  // the colour, tooltip and enabling follow the state table
  TrayColour Colour() const;
  const char* Tooltip() const;
  const char* IconName() const { return kIconNames[Colour()]; }
  const char* ItemText(int index) const;
  static int IndexOf(uintptr_t id);  // -1 for no item
};

// The system's icon. It reads the model, which the Tray keeps current.
class TrayBackend {
 public:
  virtual ~TrayBackend() = default;
  virtual void Add() = 0;
  virtual void Update() = 0;
  virtual void Remove() = 0;
  // The menu at a root position, its right edge at x (Windows: at the cursor).
  virtual void PopupMenu(int x, int y) = 0;
  // The shell's notification area came back (Explorer restarted): the icon is added again.
  virtual void Restore() {}
  // True while a tray host shows the icon (a panel took it), so the user can
  // bring a hidden window back with it.
  virtual bool Docked() const { return std::strcmp(Protocol(), "none") != 0; }
  // Shows a short notice on the desktop; false when the system has no way to.
  virtual bool Notify(const char* /*title*/, const char* /*text*/) { return false; }
  virtual const char* Protocol() const = 0;
  virtual bool IconArea(int*, int*, int*, int*) const { return false; }
};

// ui/gtk/tray_gtk.cpp or ui/win/tray_win.cpp.
std::unique_ptr<TrayBackend> MakeTrayBackend(const TrayModel& model, TrayHost& host);

class Tray {
 public:
  explicit Tray(TrayHost& host);  // builds the menu
  ~Tray();                        // removes the icon if still shown
  Tray(const Tray&) = delete;
  Tray& operator=(const Tray&) = delete;

  void Add(ShownState state);     // AddTrayIcon
  void Update(ShownState state);  // UpdateTrayIcon: icon, tooltip, menu enabling
  bool Notify(const char* title, const char* text) { return backend_->Notify(title, text); }
  void Remove();  // RemoveTrayIcon
  void PopupMenu(int x, int y);
  void Restore();  // the notification area restarted
  // For tests and diagnostics:
  bool IsShown() const;
  bool Docked() const { return added_ && backend_->Docked(); }
  bool IsMenuItemEnabled(uintptr_t id) const;
  const char* Tooltip() const { return model_.Tooltip(); }
  const char* IconName() const { return model_.IconName(); }
  const char* Protocol() const;  // "sni", "xembed", "shell" or "none"
  // The icon's rectangle on the root window; false when not known.
  bool IconArea(int* x, int* y, int* width, int* height) const;
  const TrayModel& model() const { return model_; }

 private:
  TrayModel model_;
  bool added_ = false;
  std::unique_ptr<TrayBackend> backend_;
};
