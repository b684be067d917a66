#pragma once
// A frameless top-level window whose whole client area is a web view showing
// one page from the program's resources. The page reaches the window through
// `window.external`; the program calls the page's functions by name. The view
// itself is the system's (HtmlView); the rules are here.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "runtime/ui_messages.h"
#include "runtime/well_known.h"
#include "ui/bridge.h"
#include "ui/html_view.h"

class HtmlControl : private HtmlViewClient {
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
  // Runs the entry with this identifier; args in the script's order. result
  // receives a Text entry's returned text ("" for none); Raw entries leave it untouched.
  int32_t Invoke(int32_t identifier, const std::vector<bridge::ScriptArg>& args, std::string* result, bool* isText);

  // Calls the page's function name with narrow texts. done (optional)
  // receives the status: kOk, kUnknownName when the page has no such
  // function, or a failure when there is no page.
  using PageCallDone = HtmlView::PageCallDone;
  void CallPageFunction(const char* name, const char* const* args, int count, PageCallDone done = nullptr);

  void Display();
  // Takes the window off the screen; a main window without a tray icon to
  // bring it back minimises it instead.
  virtual void Hide();
  bool IsVisible() const { return view_->Exists() && view_->Visible(); }
  void FitBrowser();

  // Queues a close request behind the messages already posted.
  static void PostClose(intptr_t code);

  HtmlView& view() const { return *view_; }
  bool IsMaximizedFlag() const { return isMaximized_; }
  int Alpha() const { return alpha_; }
  const std::string& PageAddress() const { return view_->PageAddress(); }

 protected:
  // Window creation and the page load; the derived window adds its own steps
  // between this and the message loop.
  void MakeWindow(bool visible);
  int RunMessageLoop();
  void DestroyWindow();

 private:
  // HtmlViewClient
  bool LookUpName(const char* name, int32_t* identifier) const override;
  int32_t ScriptCall(int32_t identifier, const std::vector<bridge::ScriptArg>& args, std::string* result,
                     bool* isText) override;
  std::vector<std::pair<std::string, int32_t>> ExternalNames() const override;
  void PageReady() override;
  void ReplayPageState() override;
  void WindowMessage(const platform::Message& message) override;
  void CloseRequested() override { Hide(); }

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

  void Receive(const platform::Message& message);
  void RememberPageCall(const bridge::PageCall& call);
  void GiveBackHeldMessages();

  // Worker messages wait until the page can take calls: a state shown before
  // the page exists would be lost. A page that never loads holds them this long.
  static constexpr unsigned kPageWaitMs = 5000;

  std::string pageName_;
  std::unique_ptr<HtmlView> view_;
  bool isMaximized_ = false;
  std::map<std::string, ExternalEntry> externalTable_;
  int alpha_ = 255;
  uint32_t pageCallNumber_ = 0;
  // The page's last call of each function, in the order of those calls. Page
  // functions set the look rather than add to it, so replaying these into a
  // new page gives the look that every call made in turn would have given.
  std::vector<bridge::PageCall> pageState_;
  // The message loop.
  bool pageReady_ = false;
  bool closed_ = false;
  unsigned pageWaitTimer_ = 0;
  std::vector<platform::Message> held_;
  int closeCode_ = 0;
};
