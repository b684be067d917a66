#pragma once
// A ControllerView without a window: every page call, tray state and window
// operation becomes one line on standard output ("page connecting Connecting",
// "tray 4", "display", "hide", "notice 0 <title>"); the tray line carries the
// shown state (6 is Reconnecting). The headless mode and end-to-end tests read it.
#include <cstdio>

#include "tunnel/controller_view.h"

class LoggingView : public ControllerView {
 public:
  explicit LoggingView(std::FILE* out = stdout) : out_(out) {}

  void CallPageFunction(const char* name, const char* const* args, int count) override;
  void UpdateTrayIcon(ShownState state) override;
  void Display() override;
  void Hide() override;
  void Notify(Notice notice) override;

 private:
  std::FILE* out_;
};
