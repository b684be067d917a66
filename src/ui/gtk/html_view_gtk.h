#pragma once
// The view on Linux: a GTK window holding a WebKitGTK view. The page is served
// by a "res" scheme from the compiled resources; `external` is a script shim
// whose calls come back as requests to that scheme. A hidden window gives up
// its page (and the web processes behind it) after a while and makes it again
// when shown.
#include <string>
#include <vector>

#include "ui/html_view.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;
typedef struct _WebKitWebContext WebKitWebContext;

class GtkHtmlView : public HtmlView {
 public:
  explicit GtkHtmlView(HtmlViewClient& client);
  ~GtkHtmlView() override;

  void Create(const char* pageName, bool visible) override;
  void Destroy() override;
  bool Exists() const override { return window_ != nullptr; }
  void* NativeWindow() const override { return window_; }
  const std::string& PageAddress() const override { return pageAddress_; }
  void CallFunction(const bridge::PageCall& call, PageCallDone done) override;
  void Display() override;
  void Hide() override;
  void Fit() override;
  bool WorkArea(ViewRect* area) override;
  void Place(const ViewRect& rect) override;
  void SetTitle(const std::string& utf8) override;
  void SetAlpha(int alpha) override;
  void StartDrag(int hitTest) override;
  void Minimize() override;
  bool Visible() const override;
  void SetMaximized(bool maximized) override;
  bool RemakingPage() const override { return reloading_; }

  // For tests and diagnostics: the window, the view, and a script evaluated in
  // the page with its result as text (runs the main loop until it is done).
  GtkWidget* Window() const { return window_; }
  WebKitWebView* View() const { return view_; }
  bool EvaluateScript(const char* script, std::string* result, int timeoutMs = 10000);
  // True while the page (and its web process) exists.
  bool HasPage() const { return view_ != nullptr; }
  // How long a hidden window keeps its page before ending it.
  void SetPageDropDelay(unsigned ms) { pageDropDelayMs_ = ms; }

 private:
  void BeginPendingDrag(int rootX, int rootY);
  std::string ExternalScript() const;
  void ServeRequest(WebKitURISchemeRequest* request);
  void CreatePage();
  void PageLoaded();
  void DropPage();
  // The view is gone: its web context follows, and the page is neither loaded nor loading.
  void ForgetContext();
  void SchedulePageDrop();
  void CancelPageDrop();
  void ShowNow();
  void SendPageCall(const bridge::PageCall& call, PageCallDone done);

  // Long enough for a quick hide and show, and for the page's own 3-second
  // disconnect fallback to run while the page still exists.
  static constexpr unsigned kPageDropDelayMs = 5000;
  static constexpr unsigned kPageWaitMs = 5000;

  friend struct GtkHtmlViewGlue;

  HtmlViewClient& client_;
  GtkWidget* window_ = nullptr;
  std::string pageName_;
  WebKitWebView* view_ = nullptr;
  WebKitWebContext* context_ = nullptr;
  std::string pageAddress_;
  std::string programPath_;
  // The last button press on the view, for moving and sizing by the mouse.
  unsigned pressButton_ = 0;
  uint32_t pressTime_ = 0;
  int pressX_ = 0, pressY_ = 0;
  int pendingDrag_ = 0;  // hit-test code of a move or size waiting for the pointer to move
  // Where Hide found the window, so Display shows it there again.
  bool havePlace_ = false;
  int placeX_ = 0, placeY_ = 0;
  // Page calls made while a script call into `external` runs go back with its
  // reply; every call is numbered so the page skips one that a carried call overtook.
  int scriptCallDepth_ = 0;
  std::vector<bridge::PageCall> carriedCalls_;
  bool pageLoaded_ = false;      // the current page has finished loading
  bool reloading_ = false;       // the page is being made again for a hidden window
  bool showWhenLoaded_ = false;  // Display waits for the page made again
  unsigned dropSource_ = 0;
  unsigned showWaitSource_ = 0;
  unsigned remakeSource_ = 0;
  unsigned pageDropDelayMs_ = kPageDropDelayMs;
};
