#pragma once
// A frameless top-level window whose whole client area is a web view showing
// one page from the program's resources. The page reaches the window through
// `window.external`; the program calls the page's functions by name.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "runtime/well_known.h"
#include "ui/bridge.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;
typedef struct _WebKitWebContext WebKitWebContext;


class HtmlControl {
 public:
  using RawHandler = void (HtmlControl::*)(int count, const bridge::ScriptArg* args);
  // Returns a narrow text or none (null); the text must live until the next call.
  using TextHandler = const char* (HtmlControl::*)(int count, const char* const* args);
  enum Kind : bool { Raw = false, Text = true };

  struct ExternalEntry {
    int32_t identifier;
    RawHandler raw;
    TextHandler text;
    Kind kind;
  };

  explicit HtmlControl(const char* pageName);
  virtual ~HtmlControl();
  HtmlControl(const HtmlControl&) = delete;
  HtmlControl& operator=(const HtmlControl&) = delete;

  // The message map: true when the message was handled. Derived windows look
  // at their own messages first and pass the rest on.
  virtual bool HandleMessage(const platform::Message& message);

  // Creates the window (shown when visible), runs the message loop until a
  // posted close request, destroys the window; returns the request's code.
  virtual int RunWindow(bool visible);

  int32_t RegisterExternal(const char* name, RawHandler handler);
  int32_t RegisterExternal(const char* name, TextHandler handler);

  // The name's identifier; false for a name that is not in the table.
  bool GetIDsOfNames(const char* name, int32_t* identifier) const;
  // Runs the entry with this identifier. result receives a Text entry's
  // returned text ("" for none); Raw entries leave it untouched.
  int32_t Invoke(int32_t identifier, const std::vector<bridge::ScriptArg>& args,
                 std::string* result, bool* isText);

  // Calls the page's function name with narrow texts. Done asynchronously:
  // done (optional) receives the status, kOk or kUnknownName when the page
  // has no such function. During a script call into `external` the call is
  // carried back to the page and runs before that call returns.
  using PageCallDone = std::function<void(int32_t status)>;
  void CallPageFunction(const char* name, const char* const* args, int count,
                        PageCallDone done = nullptr);

  // A hidden window gives up its page (and the web processes behind it) after
  // a while; Display makes the page again, replays the page's state and then
  // shows the window.
  void Display();
  void Hide();
  void FitBrowser();
  // True while the page (and its web process) exists.
  bool HasPage() const { return view_ != nullptr; }

  // Queues a close request behind the messages already posted.
  static void PostClose(intptr_t code);

  // For tests and diagnostics: the window, the view, and a script evaluated in
  // the page with its result as text (runs the main loop until it is done).
  GtkWidget* Window() const { return window_; }
  WebKitWebView* View() const { return view_; }
  bool EvaluateScript(const char* script, std::string* result, int timeoutMs = 10000);
  bool IsMaximizedFlag() const { return isMaximized_; }
  int Alpha() const { return alpha_; }
  const std::string& PageAddress() const { return pageAddress_; }

 protected:
  // Window creation and the page load; the derived window adds its own steps
  // between this and the message loop.
  void CreateWindow(bool visible);
  int RunMessageLoop();
  void DestroyWindow();
  // How long a hidden window keeps its page before ending it.
  void SetPageDropDelay(unsigned ms) { pageDropDelayMs_ = ms; }

 private:
  void Show(int count, const bridge::ScriptArg* args);
  void HideMethod(int count, const bridge::ScriptArg* args);
  void Close(int count, const bridge::ScriptArg* args);
  void SetTitle(int count, const bridge::ScriptArg* args);
  void DragWindow(int count, const bridge::ScriptArg* args);
  void ResizeWindow(int count, const bridge::ScriptArg* args);
  void MinimizeWindow(int count, const bridge::ScriptArg* args);
  void ToggleMaximizeNormalWindow(int count, const bridge::ScriptArg* args);
  void SetOpacity(int count, const bridge::ScriptArg* args);
  void OpenLink(int count, const bridge::ScriptArg* args);

  void StartDrag(int hitTest);
  void BeginPendingDrag(int rootX, int rootY);
  std::string ExternalScript() const;
  void ServeRequest(WebKitURISchemeRequest* request);
  void DrainMessages();
  void WatchQueue();
  void PageReady();
  void CreatePage();
  void PageLoaded();
  void DropPage();
  void SchedulePageDrop();
  void CancelPageDrop();
  void ShowNow();
  void RememberPageCall(const bridge::PageCall& call);
  void SendPageCall(const bridge::PageCall& call, PageCallDone done);

  static constexpr unsigned kPageWaitMs = 5000;
  // Long enough for a quick hide and show, and for the page's own 3-second
  // disconnect fallback to run while the page still exists.
  static constexpr unsigned kPageDropDelayMs = 5000;

  friend struct HtmlControlGlue;

  GtkWidget* window_ = nullptr;
  std::string pageName_;
  WebKitWebView* view_ = nullptr;
  WebKitWebContext* context_ = nullptr;
  bool isMaximized_ = false;
  std::map<std::string, ExternalEntry> externalTable_;

  std::string pageAddress_;
  std::string programPath_;
  int alpha_ = 255;
  // The last button press on the view, for moving and sizing by the mouse.
  unsigned pressButton_ = 0;
  uint32_t pressTime_ = 0;
  int pressX_ = 0, pressY_ = 0;
  int pendingDrag_ = 0;  // hit-test code of a move or size waiting for the pointer to move
  // Where Hide found the window, so Display shows it there again.
  bool havePlace_ = false;
  int placeX_ = 0, placeY_ = 0;
  // Page calls made while a script call into `external` runs; every page
  // call is numbered so that one overtaken by a carried call is skipped.
  int scriptCallDepth_ = 0;
  uint32_t pageCallNumber_ = 0;
  std::vector<bridge::PageCall> carriedCalls_;
  // The message loop.
  void* loop_ = nullptr;
  unsigned queueSource_ = 0;
  unsigned pageWaitSource_ = 0;
  bool pageReady_ = false;
  bool closeRequested_ = false;
  // The page's last call of each function, in the order of those calls. Page
  // functions set the look rather than add to it, so replaying these into a
  // new page gives the look that every call made in turn would have given.
  std::vector<bridge::PageCall> pageState_;
  bool pageLoaded_ = false;     // the current page has finished loading
  bool reloading_ = false;      // the page is being made again for a hidden window
  bool showWhenLoaded_ = false;  // Display waits for the page made again
  unsigned dropSource_ = 0;
  unsigned showWaitSource_ = 0;
  unsigned remakeSource_ = 0;
  unsigned pageDropDelayMs_ = kPageDropDelayMs;
  int closeCode_ = 0;
};
