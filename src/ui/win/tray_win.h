#pragma once
// The tray on Windows: one Shell_NotifyIconW icon owned by the main window,
// its callback WM_TRAYICON, the three icons from the program's resources and
// a popup menu opened at the cursor.
#include <windows.h>
#include <shellapi.h>

#include "ui/tray.h"

class WinTray : public TrayBackend {
 public:
  WinTray(const TrayModel& model, TrayHost& host);
  ~WinTray() override;

  void Add() override;
  void Update() override;
  void Remove() override;
  void PopupMenu(int x, int y) override;
  void Restore() override;
  // A balloon from the icon (NIIF_INFO); false when the icon is not shown.
  bool Notify(const char* title, const char* text) override;
  const char* Protocol() const override { return shown_ ? "shell" : "none"; }
  bool Docked() const override { return shown_; }

  // For tests: the record as last filled (the balloon's, after Notify), and the menu.
  const NOTIFYICONDATAW& Record() const { return record_; }
  HMENU Menu() const { return menu_; }

 private:
  void FillTrayData();
  void UpdateMenuItems();

  const TrayModel& model_;
  TrayHost& host_;
  HINSTANCE module_ = nullptr;
  HMENU menu_ = nullptr;
  NOTIFYICONDATAW record_{};
  bool shown_ = false;
};
