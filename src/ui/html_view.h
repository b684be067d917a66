#pragma once
// The view behind HtmlControl: a frameless top-level window whose whole client
// area is a web view showing one page of the program's resources. One
// implementation per system (ui/gtk/, ui/win/); HtmlControl holds the rules.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "ui/bridge.h"

struct ViewRect {
  int x = 0, y = 0, width = 0, height = 0;
};

// What the view reports to its control, on the user-interface thread.
class HtmlViewClient {
 public:
  virtual ~HtmlViewClient() = default;
  // The `external` object's two calls.
  virtual bool LookUpName(const char* name, int32_t* identifier) const = 0;
  virtual int32_t ScriptCall(int32_t identifier, const std::vector<bridge::ScriptArg>& args, std::string* result,
                             bool* isText) = 0;
  // Every name of the table with its identifier, for views that build `external` in script.
  virtual std::vector<std::pair<std::string, int32_t>> ExternalNames() const = 0;
  // The page can take calls (loaded, or given up waiting for); messages flow from here on.
  virtual void PageReady() = 0;
  // A page made again (after the view gave it up) needs the state the old one had.
  virtual void ReplayPageState() = 0;
  // A window message the view does not handle itself (tray, menu commands).
  virtual void WindowMessage(const platform::Message& message) = 0;
  // The window manager or the system asked to close the window: it is hidden
  // (or minimised, where nothing else could bring it back), never ended.
  virtual void CloseRequested() = 0;
};

class HtmlView {
 public:
  using PageCallDone = std::function<void(int32_t status)>;

  virtual ~HtmlView() = default;
  // Creates the window (shown when visible) and starts loading res://<program>/<pageName>.
  virtual void Create(const char* pageName, bool visible) = 0;
  virtual void Destroy() = 0;
  virtual bool Exists() const = 0;
  // The native window (HWND, GtkWidget*), for the tray's owner; null without one.
  virtual void* NativeWindow() const = 0;
  virtual const std::string& PageAddress() const = 0;

  // Runs a page function; done receives kOk, kUnknownName or a failure.
  virtual void CallFunction(const bridge::PageCall& call, PageCallDone done) = 0;

  virtual void Display() = 0;
  virtual void Hide() = 0;
  virtual void Fit() = 0;
  // The primary display's work area; false when it cannot be read.
  virtual bool WorkArea(ViewRect* area) = 0;
  virtual void Place(const ViewRect& rect) = 0;
  virtual void SetTitle(const std::string& utf8) = 0;
  virtual void SetAlpha(int alpha) = 0;
  // Moving (HTCAPTION) or sizing from an edge or corner (HTLEFT .. HTBORDER) by the mouse.
  virtual void StartDrag(int hitTest) = 0;
  virtual void Minimize() = 0;
  // True while the window is on the screen (shown and not minimised).
  virtual bool Visible() const = 0;
  virtual void SetMaximized(bool maximized) = 0;
  // True while a page made again loads: it must not undo the user's place and size.
  virtual bool RemakingPage() const { return false; }
};

// The system's view (ui/gtk/html_view_gtk.cpp or ui/win/html_view_win.cpp).
std::unique_ptr<HtmlView> MakeHtmlView(HtmlViewClient& client);
