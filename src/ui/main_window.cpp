#include "ui/main_window.h"

#include <cstdlib>
#include <cstring>

#include "platform/environment.h"
#include "platform/opener.h"
#include "platform/ui_timer.h"
#include "runtime/ui_messages.h"
#include "ui/site_host.h"

MainWindow::MainWindow(ControllerHooks hooks)
    : HtmlControl("main.html"), tunnel_(*this, *this, std::move(hooks)), tray_(*this) {
  RegisterExternal("Connect", static_cast<TextHandler>(&MainWindow::Connect));
  RegisterExternal("Disconnect", static_cast<TextHandler>(&MainWindow::Disconnect));
  firstRun = false;
  const char* uiLog = std::getenv("QUORVANTA_UI_LOG");
  if (uiLog && std::strcmp(uiLog, "1") == 0) log_ = std::make_unique<LoggingView>(stdout);
}

MainWindow::~MainWindow() {
  tray_.Remove();
  // Then the tray and the workers go, the Signal base sets the exit event
  // (OpenVPN ends), and the window host goes last.
}

int MainWindow::RunWindow(bool visible) {
  MakeWindow(visible);
  tray_.Add(tunnel_.controller().shown());
  // A panel takes the icon within moments of its adding; a start hidden
  // with none to take it leaves the window minimised instead.
  if (!visible) {
    dockTimer_ = platform::StartUiTimer(kDockWaitMs, [this] {
      dockTimer_ = 0;
      if (!tray_.Docked() && !IsVisible()) view().Minimize();
    });
  }
  tunnel_.controller().firstRun = firstRun;
  tunnel_.Start(&platform::UiQueue());
  int code = RunMessageLoop();
  if (dockTimer_ != 0) platform::CancelUiTimer(dockTimer_);
  dockTimer_ = 0;
  DestroyWindow();
  return code;
}

bool MainWindow::HandleMessage(const platform::Message& message) {
  if (tunnel_.HandleMessage(message)) return true;
  switch (message.id) {
    case msg::WM_TRAYICON:
      OnTrayIcon(static_cast<uint32_t>(message.lParam), 0, 0);
      return true;
    case msg::Command:
      OnCommand(message.wParam);
      return true;
    case msg::TaskbarCreated:
      tray_.Restore();
      return true;
    case msg::ShowWindowRequest:
      Display();
      return true;
    default:
      return HtmlControl::HandleMessage(message);
  }
}

void MainWindow::OnTrayIcon(uint32_t mouseMessage, int x, int y) {
  if (mouseMessage == msg::LeftButtonDown)
    Display();
  else if (mouseMessage == msg::RightButtonDown)
    tray_.PopupMenu(x, y);
}

void MainWindow::OnCommand(uintptr_t id) {
  switch (id) {
    case msg::IDM_CONNECT:
      tunnel_.controller().Connect();
      break;
    case msg::IDM_DISCONNECT:
      tunnel_.controller().Disconnect();
      break;
    case msg::IDM_VISIT_SITE: {
      char address[300];
      if (SiteHomeAddress(platform::SiteBase(), address, sizeof address)) platform::OpenUrl(address);
      break;
    }
    case msg::IDM_EXIT:
      PostClose(0);
      break;
    default:
      break;
  }
}

const char* MainWindow::Connect(int, const char* const*) { return tunnel_.controller().Connect(); }

const char* MainWindow::Disconnect(int, const char* const*) { return tunnel_.controller().Disconnect(); }

void MainWindow::CallPageFunction(const char* name, const char* const* args, int count) {
  if (log_) log_->CallPageFunction(name, args, count);
  HtmlControl::CallPageFunction(name, args, count);
}

void MainWindow::UpdateTrayIcon(ShownState state) {
  if (log_) log_->UpdateTrayIcon(state);
  tray_.Update(state);
}

void MainWindow::Display() { HtmlControl::Display(); }

// Without a tray host nothing could bring a hidden window back: it stays in
// the task list, minimised.
void MainWindow::Hide() {
  if (tray_.Docked())
    HtmlControl::Hide();
  else
    view().Minimize();
}

// The user who looks at the window sees the change there already.
void MainWindow::Notify(Notice notice) {
  if (IsVisible()) return;
  if (log_) log_->Notify(notice);
  tray_.Notify(NoticeTitle(notice), NoticeText(notice));
}
