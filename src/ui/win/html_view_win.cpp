#include "ui/win/html_view_win.h"

#include <exdispid.h>
#include <mshtml.h>
#include <ocidl.h>

#include <cstdio>
#include <vector>

#include "runtime/ui_messages.h"

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvantaHtmlControl";
constexpr wchar_t kHostClass[] = L"QuorvantaBrowserHost";

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* wide) {
  if (!wide || !*wide) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 1 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
  return out;
}

// One script argument as the bridge reads it; a BSTR keeps its units as they are.
bridge::ScriptArg ArgumentOf(const VARIANT& given) {
  bridge::ScriptArg arg;
  VARIANT value;
  VariantInit(&value);
  const VARIANT* v = &given;
  if (given.vt == (VT_BYREF | VT_VARIANT) && given.pvarVal) v = given.pvarVal;
  if (v->vt == VT_BSTR) {
    arg.type = bridge::ScriptArg::String;
    if (v->bstrVal) arg.text.assign(reinterpret_cast<const char16_t*>(v->bstrVal), SysStringLen(v->bstrVal));
    return arg;
  }
  if (v->vt == VT_EMPTY || v->vt == VT_NULL || v->vt == VT_ERROR || v->vt == VT_DISPATCH) return arg;
  if (SUCCEEDED(VariantChangeType(&value, const_cast<VARIANT*>(v), 0, VT_R8))) {
    arg.type = bridge::ScriptArg::Number;
    arg.number = value.dblVal;
  }
  VariantClear(&value);
  return arg;
}

}  // namespace

// ---- the `external` object

STDMETHODIMP WinExternal::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID_DWebBrowserEvents2)) {
    *object = static_cast<IDispatch*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP WinExternal::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  int32_t identifier = 0;
  if (!client_.LookUpName(Utf8(names[0]).c_str(), &identifier)) {
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  ids[0] = identifier;
  return S_OK;
}

STDMETHODIMP WinExternal::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                 UINT*) {
  // Browser events carry identifiers below the program's: none is acted on.
  if (id < bridge::kFirstIdentifier) return E_NOTIMPL;
  std::vector<bridge::ScriptArg> args;
  const UINT count = params ? params->cArgs : 0;
  args.reserve(count);
  // The block holds the arguments last first.
  for (UINT i = 0; i < count; ++i) args.push_back(ArgumentOf(params->rgvarg[count - 1 - i]));
  std::string text;
  bool isText = false;
  const int32_t status = client_.ScriptCall(id, args, &text, &isText);
  if (status == bridge::kOk && isText && result) {
    VariantClear(result);
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0);
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(n > 1 ? n - 1 : 0));
    if (result->bstrVal && n > 1) MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, result->bstrVal, n);
  }
  return status;
}

// ---- the control's site

STDMETHODIMP WinControlSite::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
    *object = static_cast<IOleClientSite*>(this);
  } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) {
    *object = static_cast<IOleInPlaceSite*>(this);
  } else if (IsEqualIID(riid, IID_IOleInPlaceUIWindow) || IsEqualIID(riid, IID_IOleInPlaceFrame)) {
    *object = static_cast<IOleInPlaceFrame*>(this);
  } else if (IsEqualIID(riid, IID_IDocHostUIHandler)) {
    *object = static_cast<IDocHostUIHandler*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  return S_OK;
}

STDMETHODIMP WinControlSite::GetContainer(IOleContainer** container) {
  if (container) *container = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP WinControlSite::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = view_.host_;
  return view_.host_ ? S_OK : E_FAIL;
}

STDMETHODIMP WinControlSite::OnInPlaceActivate() {
  view_.inPlaceActive_ = true;
  return S_OK;
}

STDMETHODIMP WinControlSite::OnInPlaceDeactivate() {
  view_.inPlaceActive_ = false;
  return S_OK;
}

STDMETHODIMP WinControlSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT position,
                                              LPRECT clip, LPOLEINPLACEFRAMEINFO info) {
  if (frame) *frame = static_cast<IOleInPlaceFrame*>(this);
  if (doc) *doc = nullptr;
  RECT area{};
  GetClientRect(view_.host_, &area);
  if (position) *position = area;
  if (clip) *clip = area;
  if (info) {
    info->fMDIApp = FALSE;
    info->hwndFrame = view_.window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
  }
  return S_OK;
}

STDMETHODIMP WinControlSite::GetHostInfo(DOCHOSTUIINFO* info) {
  if (!info) return E_POINTER;
  // A plain host's look: no 3-D border, the default double click.
  info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER;
  info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
  info->pchHostCss = nullptr;
  info->pchHostNS = nullptr;
  return S_OK;
}

STDMETHODIMP WinControlSite::GetExternal(IDispatch** external) {
  if (!external) return E_POINTER;
  *external = view_.External();
  return S_OK;
}

// ---- the window

struct WinHtmlViewProcs {
  static LRESULT CALLBACK Window(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      auto* self = static_cast<WinHtmlView*>(create->lpCreateParams);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->window_ = window;
    }
    auto* self = reinterpret_cast<WinHtmlView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->WindowProc(message, wParam, lParam);
  }
  // The host child: keeps the control's rectangles on its own.
  static LRESULT CALLBACK Host(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE) {
      auto* self = reinterpret_cast<WinHtmlView*>(GetWindowLongPtrW(GetParent(window), GWLP_USERDATA));
      IOleInPlaceObject* inPlace = nullptr;
      if (self && self->control_ &&
          SUCCEEDED(self->control_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
        RECT area{0, 0, LOWORD(lParam), HIWORD(lParam)};
        inPlace->SetObjectRects(&area, &area);
        inPlace->Release();
      }
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
};

namespace {

bool RegisterClasses() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &WinHtmlViewProcs::Window;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    const bool main = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    WNDCLASSEXW host{};
    host.cbSize = sizeof host;
    host.lpfnWndProc = &WinHtmlViewProcs::Host;
    host.hInstance = GetModuleHandleW(nullptr);
    host.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    host.lpszClassName = kHostClass;
    const bool child = RegisterClassExW(&host) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return main && child;
  }();
  return registered;
}

}  // namespace

WinHtmlView::WinHtmlView(HtmlViewClient& client) : client_(client), external_(client), site_(*this) {
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
}

WinHtmlView::~WinHtmlView() { Destroy(); }

std::unique_ptr<HtmlView> MakeHtmlView(HtmlViewClient& client) { return std::make_unique<WinHtmlView>(client); }

void WinHtmlView::Create(const char* pageName, bool visible) {
  if (window_ || !RegisterClasses()) return;
  pageName_ = pageName;
  const DWORD style = WS_POPUP | (visible ? WS_VISIBLE : 0);
  if (!CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kWindowClass, L"Quorvanta", style, 0, 0, 0, 0, nullptr,
                       nullptr, GetModuleHandleW(nullptr), this))
    fprintf(stderr, "quorvanta: cannot create the window (error %lu)\n", GetLastError());
  // The page is loaded (or not) during creation; the program's messages flow from here.
  client_.PageReady();
}

// The page load, on WM_CREATE. Failures leave the window without a page and are not reported.
void WinHtmlView::LoadPage() {
  oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
  RECT area{};
  GetClientRect(window_, &area);
  host_ = CreateWindowExW(0, kHostClass, L"", WS_CHILD | WS_VISIBLE, area.left, area.top, area.right - area.left,
                          area.bottom - area.top, window_, nullptr, GetModuleHandleW(nullptr), nullptr);
  wchar_t module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring address = L"res://";
  address.append(module, length < MAX_PATH ? length : 0);
  address += L"/";
  address += Wide(pageName_);
  pageAddress_ = Utf8(address.c_str());
  if (!host_ || FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                        reinterpret_cast<void**>(&control_)))) {
    control_ = nullptr;
    return;
  }
  // The site (and with it `external`) is in place before anything is loaded.
  control_->SetClientSite(&site_);
  OleSetContainedObject(control_, TRUE);
  control_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site_, 0, host_, &area);
  if (SUCCEEDED(control_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_)))) {
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(browser_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
      IConnectionPoint* point = nullptr;
      if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point))) {
        DWORD cookie = 0;  // never cancelled: the sink lives as long as the control
        subscribed_ = SUCCEEDED(point->Advise(&external_, &cookie));
        point->Release();
      }
      container->Release();
    }
    browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
    BSTR url = SysAllocString(address.c_str());
    VARIANT empty;
    VariantInit(&empty);
    browser_->Navigate(url, &empty, &empty, &empty, &empty);
    SysFreeString(url);
  }
  SetFocus(host_);
}

void WinHtmlView::Destroy() {
  if (browser_) {
    browser_->Stop();
    browser_->Release();
    browser_ = nullptr;
  }
  if (control_) {
    control_->Close(OLECLOSE_NOSAVE);
    control_->SetClientSite(nullptr);
    control_->Release();
    control_ = nullptr;
  }
  if (window_) {
    HWND window = window_;
    DestroyWindow(window);  // the host child goes with it
    window_ = nullptr;
    host_ = nullptr;
  }
  if (oleInitialized_) {
    OleUninitialize();
    oleInitialized_ = false;
  }
  inPlaceActive_ = false;
  subscribed_ = false;
}

void WinHtmlView::KeyDown(UINT message, WPARAM wParam, LPARAM lParam) {
  IOleInPlaceActiveObject* active = nullptr;
  if (!control_ || FAILED(control_->QueryInterface(IID_IOleInPlaceActiveObject, reinterpret_cast<void**>(&active))))
    return;
  MSG key{};
  key.hwnd = window_;
  key.message = message;
  key.wParam = wParam;
  key.lParam = lParam;
  key.time = static_cast<DWORD>(GetMessageTime());
  active->TranslateAccelerator(&key);
  active->Release();
}

LRESULT WinHtmlView::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      LoadPage();
      return 0;
    case WM_KEYDOWN:
      KeyDown(message, wParam, lParam);
      return 0;
    case WM_SIZING:
      Fit();
      return 0;
    case WM_CLOSE:
      // Sent, not posted (Alt+F4, the task manager): the window hides; the
      // program ends only through a posted close request.
      client_.CloseRequested();
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      break;
    case msg::WM_TRAYICON:
    case WM_COMMAND:
      client_.WindowMessage(platform::Message{message, wParam, lParam});
      return 0;
    default:
      if (message == taskbarCreated_ && taskbarCreated_ != 0) {
        client_.WindowMessage(platform::Message{msg::TaskbarCreated, 0, 0});
        return 0;
      }
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

// ---- page calls and the window methods

void WinHtmlView::CallFunction(const bridge::PageCall& call, PageCallDone done) {
  HRESULT status = E_FAIL;
  IDispatch* document = nullptr;
  if (browser_ && SUCCEEDED(browser_->get_Document(&document)) && document) {
    IHTMLDocument2* html = nullptr;
    if (SUCCEEDED(document->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&html)))) {
      // Fetched afresh on every call: a page loaded again has a new script object.
      IDispatch* script = nullptr;
      if (SUCCEEDED(html->get_Script(&script)) && script) {
        std::wstring name = Wide(call.name);
        LPOLESTR names[1] = {name.data()};
        DISPID id = DISPID_UNKNOWN;
        status = script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
        if (SUCCEEDED(status)) {
          std::vector<VARIANT> args(call.args.size());
          for (size_t i = 0; i < call.args.size(); ++i) {
            VARIANT& slot = args[call.args.size() - 1 - i];  // last argument first
            VariantInit(&slot);
            slot.vt = VT_BSTR;
            slot.bstrVal = SysAllocString(Wide(call.args[i]).c_str());
          }
          DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
          VARIANT result;
          VariantInit(&result);
          status =
              script->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
          VariantClear(&result);
          for (VARIANT& slot : args) VariantClear(&slot);
        }
        script->Release();
      }
      html->Release();
    }
    document->Release();
  }
  if (done) done(static_cast<int32_t>(status));
}

void WinHtmlView::Display() {
  if (window_) ShowWindow(window_, SW_SHOW);
}

void WinHtmlView::Hide() {
  if (window_) ShowWindow(window_, SW_HIDE);
}

void WinHtmlView::Fit() {
  if (!window_ || !host_) return;
  RECT area{};
  GetClientRect(window_, &area);
  MoveWindow(host_, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
}

bool WinHtmlView::WorkArea(ViewRect* out) {
  RECT area{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) return false;
  *out = ViewRect{area.left, area.top, area.right - area.left, area.bottom - area.top};
  return true;
}

void WinHtmlView::Place(const ViewRect& rect) {
  if (window_) MoveWindow(window_, rect.x, rect.y, rect.width, rect.height, TRUE);
}

void WinHtmlView::SetTitle(const std::string& utf8) {
  if (window_) SetWindowTextW(window_, Wide(utf8).c_str());
}

void WinHtmlView::SetAlpha(int alpha) {
  if (!window_) return;
  SetWindowLongW(window_, GWL_EXSTYLE, GetWindowLongW(window_, GWL_EXSTYLE) | WS_EX_LAYERED);
  SetLayeredWindowAttributes(window_, 0, static_cast<BYTE>(alpha), LWA_ALPHA);
}

void WinHtmlView::StartDrag(int hitTest) {
  // The system moves or sizes the window with the mouse from here.
  if (window_) PostMessageW(window_, WM_NCLBUTTONDOWN, static_cast<WPARAM>(hitTest), 0);
}

void WinHtmlView::Minimize() {
  if (window_) ShowWindow(window_, SW_SHOWMINIMIZED);
}

bool WinHtmlView::Visible() const { return window_ && IsWindowVisible(window_) && !IsIconic(window_); }

void WinHtmlView::SetMaximized(bool maximized) {
  if (window_) ShowWindow(window_, maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
}
