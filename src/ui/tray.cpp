#include "ui/tray.h"

struct TrayImpl {
  explicit TrayImpl(TrayHost& h) : host(h) {}
  TrayHost& host;
  bool shown = false;
};

Tray::Tray(TrayHost& host) : impl_(new TrayImpl(host)) {}
Tray::~Tray() { delete impl_; }
void Tray::Add(TunnelState) { impl_->shown = true; }
void Tray::Update(TunnelState) {}
void Tray::Remove() { impl_->shown = false; }
void Tray::PopupMenu(int, int) {}
bool Tray::IsShown() const { return impl_->shown; }
bool Tray::IsMenuItemEnabled(uintptr_t) const { return false; }
const char* Tray::Tooltip() const { return ""; }
const char* Tray::IconName() const { return ""; }
const char* Tray::Protocol() const { return "none"; }
