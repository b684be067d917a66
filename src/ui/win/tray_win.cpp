#include "ui/win/tray_win.h"

#include <cwchar>

#include "runtime/ui_messages.h"

static_assert(msg::WM_TRAYICON == WM_APP + 1, "the tray's callback message is WM_APP + 1");
// The message loop hands the system's messages on under their own numbers.
static_assert(msg::Close == WM_CLOSE && msg::KeyDown == WM_KEYDOWN && msg::Command == WM_COMMAND &&
                  msg::LeftButtonDown == WM_LBUTTONDOWN && msg::RightButtonDown == WM_RBUTTONDOWN,
              "the program's message numbers are the system's");

WinTray::WinTray(const TrayModel& model, TrayHost& host) : model_(model), host_(host) {
  module_ = GetModuleHandleW(nullptr);
  menu_ = CreatePopupMenu();
  if (menu_) {
    for (int i = 0; i < TrayModel::kItemCount; ++i) {
      wchar_t text[300];
      std::swprintf(text, sizeof text / sizeof text[0], L"%hs", model_.ItemText(i));
      AppendMenuW(menu_, MF_STRING, TrayModel::kItemIds[i], text);
    }
  }
  UpdateMenuItems();
}

WinTray::~WinTray() {
  Remove();
  if (menu_) DestroyMenu(menu_);
}

std::unique_ptr<TrayBackend> MakeTrayBackend(const TrayModel& model, TrayHost& host) {
  return std::make_unique<WinTray>(model, host);
}

void WinTray::FillTrayData() {
  // Sized by the compiler: the whole record of this build (976 bytes on x64).
  record_.cbSize = sizeof record_;
  record_.hWnd = static_cast<HWND>(host_.TrayOwnerWindow());
  record_.uID = 0;
  record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  record_.uCallbackMessage = msg::WM_TRAYICON;
  wchar_t name[64];
  std::swprintf(name, sizeof name / sizeof name[0], L"%hs", model_.IconName());
  // Icons loaded by name from the program's resources are shared: never destroyed.
  record_.hIcon = LoadIconW(module_, name);
  std::swprintf(record_.szTip, sizeof record_.szTip / sizeof record_.szTip[0], L"%hs", model_.Tooltip());
}

void WinTray::UpdateMenuItems() {
  if (!menu_) return;
  for (int i = 0; i < TrayModel::kItemCount; ++i)
    EnableMenuItem(menu_, static_cast<UINT>(TrayModel::kItemIds[i]),
                   MF_BYCOMMAND | (model_.enabled[i] ? MF_ENABLED : MF_GRAYED));
}

void WinTray::Add() {
  FillTrayData();
  shown_ = Shell_NotifyIconW(NIM_ADD, &record_) != FALSE;
  UpdateMenuItems();
}

void WinTray::Update() {
  FillTrayData();
  if (shown_) Shell_NotifyIconW(NIM_MODIFY, &record_);
  UpdateMenuItems();
}

void WinTray::Remove() {
  if (shown_) Shell_NotifyIconW(NIM_DELETE, &record_);
  shown_ = false;
}

void WinTray::Restore() {
  // Explorer started again and knows no icon of ours. The message also comes
  // when the shell still has the icon (a change of DPI, say): then adding
  // fails and the icon is kept up to date as before.
  FillTrayData();
  shown_ = Shell_NotifyIconW(NIM_ADD, &record_) != FALSE || Shell_NotifyIconW(NIM_MODIFY, &record_) != FALSE;
}

bool WinTray::Notify(const char* title, const char* text) {
  if (!shown_) return false;
  FillTrayData();
  record_.uFlags |= NIF_INFO;
  record_.dwInfoFlags = NIIF_INFO;
  // The texts are UTF-8; the fields are bounded by their own sizes.
  if (MultiByteToWideChar(CP_UTF8, 0, title, -1, record_.szInfoTitle,
                          sizeof record_.szInfoTitle / sizeof record_.szInfoTitle[0]) == 0)
    record_.szInfoTitle[0] = L'\0';
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, record_.szInfo, sizeof record_.szInfo / sizeof record_.szInfo[0]) == 0)
    record_.szInfo[0] = L'\0';
  const bool shown = Shell_NotifyIconW(NIM_MODIFY, &record_) != FALSE;
  // Later updates of the icon must not show the balloon again.
  record_.uFlags &= ~NIF_INFO;
  return shown;
}

void WinTray::PopupMenu(int, int) {
  if (!menu_) return;
  HWND owner = static_cast<HWND>(host_.TrayOwnerWindow());
  POINT cursor{};
  GetCursorPos(&cursor);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(owner);
  TrackPopupMenu(menu_, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, owner, nullptr);
  // The switch of task that Windows needs after a tray menu.
  PostMessageW(owner, WM_NULL, 0, 0);
}
