#pragma once
#include <string>
#include <vector>

#include "ui/bridge.h"
#include "ui/gtk/html_view_gtk.h"
#include "ui/html_control.h"

// The page with the two tunnel commands of the main window, recorded; its
// Disconnect reports "disconnecting" to the page while the call runs, as the
// controller does.
class PageWindow : public HtmlControl {
 public:
  PageWindow() : HtmlControl("main.html") {
    RegisterExternal("Connect", static_cast<TextHandler>(&PageWindow::Connect));
    RegisterExternal("Disconnect", static_cast<TextHandler>(&PageWindow::Disconnect));
  }
  ~PageWindow() override { DestroyWindow(); }

  void Open(bool visible = true) { MakeWindow(visible); }
  void SetPageDropDelay(unsigned ms) { static_cast<GtkHtmlView&>(view()).SetPageDropDelay(ms); }
  int Loop() { return RunMessageLoop(); }

  void Call(const char* name, std::vector<const char*> args) {
    CallPageFunction(name, args.data(), static_cast<int>(args.size()));
  }

  std::vector<std::string> calls;
  std::vector<int> counts;
  std::vector<std::vector<std::string>> arguments;
  const char* connectResult = "ok";
  bool reportDisconnecting = true;

 private:
  const char* Connect(int count, const char* const* args) {
    Record("Connect", count, args);
    return connectResult;
  }
  const char* Disconnect(int count, const char* const* args) {
    Record("Disconnect", count, args);
    if (reportDisconnecting) {
      const char* text[] = {"Disconnecting"};
      CallPageFunction("disconnecting", text, 1);
    }
    return "ok";
  }
  void Record(const char* name, int count, const char* const* args) {
    calls.push_back(name);
    counts.push_back(count);
    std::vector<std::string> list;
    for (int i = 0; i < count && i < bridge::kMaxTextArguments; ++i) list.push_back(args[i]);
    arguments.push_back(list);
  }
};
