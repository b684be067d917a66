#include "ui/tray.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/environment.h"
#include "ui/site_host.h"

TrayModel::TrayModel() {
  char siteHost[256];
  SiteHostName(platform::SiteBase(), siteHost, sizeof siteHost);
  std::snprintf(visitText, sizeof visitText, "Visit %s", siteHost);
  SetState(state);
}

void TrayModel::SetState(ShownState next) {
  state = next;
  const StateLook& look = LookOf(state);
  enabled[0] = look.connectOffered;
  enabled[1] = look.disconnectOffered;
  enabled[2] = enabled[3] = true;
  if (blocking && look.colour != TrayRed) {
    std::snprintf(tooltip, sizeof tooltip, "%s - traffic outside the tunnel is blocked", look.tooltip);
  } else {
    std::snprintf(tooltip, sizeof tooltip, "%s", look.tooltip);
  }
}

TrayColour TrayModel::Colour() const { return LookOf(state).colour; }

const char* TrayModel::Tooltip() const { return tooltip; }

const char* TrayModel::ItemText(int index) const {
  static const char* const kFixed[kItemCount] = {"Connect", "Disonnect", nullptr, "Exit"};
  if (index < 0 || index >= kItemCount) return "";
  return index == 2 ? visitText : kFixed[index];
}

int TrayModel::IndexOf(uintptr_t id) {
  for (int i = 0; i < kItemCount; ++i)
    if (kItemIds[i] == id) return i;
  return -1;
}

Tray::Tray(TrayHost& host) {
  model_.SetState(ShownState::WaitingForService);
  backend_ = MakeTrayBackend(model_, host);
}

Tray::~Tray() {
  Remove();
  backend_.reset();
}

void Tray::Add(ShownState state) {
  if (added_) {
    Update(state);
    return;
  }
  added_ = true;
  model_.SetState(state);
  backend_->Add();
}

void Tray::Update(ShownState state) {
  // Read at each change: an administrator may turn the block on or off at any time.
  if (LookOf(state).colour != TrayRed) model_.blocking = MachineSwitchOn("block_outside_tunnel");
  model_.SetState(state);
  backend_->Update();
}

void Tray::Remove() {
  backend_->Remove();
  added_ = false;
}

void Tray::PopupMenu(int x, int y) { backend_->PopupMenu(x, y); }

void Tray::Restore() {
  if (added_) backend_->Restore();
}

bool Tray::IsShown() const { return std::strcmp(backend_->Protocol(), "none") != 0; }

bool Tray::IsMenuItemEnabled(uintptr_t id) const {
  const int index = TrayModel::IndexOf(id);
  return index >= 0 && model_.enabled[index];
}

const char* Tray::Protocol() const { return backend_->Protocol(); }

bool Tray::IconArea(int* x, int* y, int* width, int* height) const { return backend_->IconArea(x, y, width, height); }
