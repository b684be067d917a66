#pragma once
// The view on Windows: a WS_POPUP top-level window whose client area is a
// child host window holding the system's WebBrowser control. The host is our
// own small OLE container (no ATL in mingw-w64); the page comes from the
// program's resources through the system's res: protocol, and `external` is
// this view's dispatch object, handed out by the host's IDocHostUIHandler.
#include <windows.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <oleidl.h>

#include <string>

#include "ui/html_view.h"

class WinHtmlView;

// The page's `external` object and the browser's event sink at once:
// identifiers from 100000 up are the program's, every browser event lies below.
class WinExternal : public IDispatch {
 public:
  explicit WinExternal(HtmlViewClient& client) : client_(client) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override;

 private:
  HtmlViewClient& client_;
};

// The control's site: client site, in-place site and frame, and UI handler.
class WinControlSite : public IOleClientSite,
                       public IOleInPlaceSite,
                       public IOleInPlaceFrame,
                       public IDocHostUIHandler {
 public:
  explicit WinControlSite(WinHtmlView& view) : view_(view) {}
  // IUnknown: the site lives as long as the view.
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** container) override;
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
  // IOleWindow (shared by the in-place site and the frame)
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override;
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT position, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO info) override;
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override;
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }
  // IOleInPlaceUIWindow / IOleInPlaceFrame
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }
  // IDocHostUIHandler: the defaults of a plain host, plus `external`.
  STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_FALSE; }
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
  STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                      IOleInPlaceUIWindow*) override {
    return S_FALSE;
  }
  STDMETHODIMP HideUI() override { return S_OK; }
  STDMETHODIMP UpdateUI() override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
  STDMETHODIMP GetOptionKeyPath(LPOLESTR*, DWORD) override { return S_FALSE; }
  STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget**) override { return E_NOTIMPL; }
  STDMETHODIMP GetExternal(IDispatch** external) override;
  STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override {
    if (out) *out = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override {
    if (out) *out = nullptr;
    return S_FALSE;
  }

 private:
  WinHtmlView& view_;
};

class WinHtmlView : public HtmlView {
 public:
  explicit WinHtmlView(HtmlViewClient& client);
  ~WinHtmlView() override;

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

  // For tests and diagnostics.
  HWND Window() const { return window_; }
  HWND HostWindow() const { return host_; }
  IDispatch* External() { return &external_; }
  IWebBrowser2* Browser() const { return browser_; }
  bool InPlaceActive() const { return inPlaceActive_; }
  bool Subscribed() const { return subscribed_; }
  bool OleReady() const { return oleInitialized_; }

 private:
  friend class WinControlSite;
  friend struct WinHtmlViewProcs;

  void LoadPage();
  void KeyDown(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  HtmlViewClient& client_;
  WinExternal external_;
  WinControlSite site_;
  HWND window_ = nullptr;
  HWND host_ = nullptr;
  std::string pageName_;
  std::string pageAddress_;
  IOleObject* control_ = nullptr;
  IWebBrowser2* browser_ = nullptr;
  bool oleInitialized_ = false;
  bool inPlaceActive_ = false;
  bool subscribed_ = false;
  UINT taskbarCreated_ = 0;
};
