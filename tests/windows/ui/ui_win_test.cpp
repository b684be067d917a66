// The Windows window below the rendering: the `external` dispatch object, the
// control host, the window's styles and methods, the message loop's rules,
// the tray's record and menu, and the resources of quorvanta.exe.
#include <gtest/gtest.h>

#include <windows.h>
#include <exdispid.h>
#include <shellapi.h>
#include <urlmon.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/ui_loop.h"
#include "runtime/ui_messages.h"
#include "ui/html_control.h"
#include "ui/resources.h"
#include "ui/tray.h"
#include "ui/win/html_view_win.h"
#include "ui/win/tray_win.h"
#include "windows/support/program.h"

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the x64 record");

namespace {

using enum ShownState;

class TestWindow : public HtmlControl {
 public:
  TestWindow() : HtmlControl("main.html") {
    RegisterExternal("Connect", static_cast<TextHandler>(&TestWindow::Connect));
    RegisterExternal("Disconnect", static_cast<TextHandler>(&TestWindow::Disconnect));
  }
  ~TestWindow() override { DestroyWindow(); }
  void Open(bool visible) { MakeWindow(visible); }
  int Loop() { return RunMessageLoop(); }
  WinHtmlView& Win() { return static_cast<WinHtmlView&>(view()); }

  std::vector<std::string> args;
  int count = -1;
  const char* connectResult = "ok";
  std::vector<int32_t> pageStatus;

 private:
  const char* Connect(int n, const char* const* a) {
    count = n;
    args.assign(a, a + (n < 4 ? n : 4));
    return connectResult;
  }
  const char* Disconnect(int, const char* const*) {
    // A page call inside a script call runs at once on Windows.
    const char* text[] = {"Disconnecting"};
    CallPageFunction("disconnecting", text, 1, [this](int32_t s) { pageStatus.push_back(s); });
    return "ok";
  }
};

VARIANT Str(const wchar_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

VARIANT Num(int n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

// Invokes as the script would: args in script order, handed over last first.
HRESULT Call(IDispatch* d, DISPID id, std::vector<VARIANT> args, VARIANT* result = nullptr,
             WORD flags = DISPATCH_METHOD) {
  std::vector<VARIANT> block(args.rbegin(), args.rend());
  DISPPARAMS params{block.data(), nullptr, static_cast<UINT>(block.size()), 0};
  HRESULT hr = d->Invoke(id, IID_NULL, 0, flags, &params, result, nullptr, nullptr);
  for (VARIANT& v : block) VariantClear(&v);
  return hr;
}

DISPID Id(IDispatch* d, const wchar_t* name, HRESULT* status = nullptr) {
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  DISPID id = 0;
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (status) *status = hr;
  return id;
}

bool TakeQueued(uint32_t id, platform::Message* out) {
  while (platform::UiQueue().TryTake(out))
    if (out->id == id) return true;
  return false;
}

TEST(WinBridge, NamesArgumentsAndResultsFollowTheTable) {
  TestWindow window;
  IDispatch* external = window.Win().External();
  HRESULT status = S_OK;
  EXPECT_EQ(Id(external, L"Show"), 100000);
  EXPECT_EQ(Id(external, L"OpenLink"), 100009);
  EXPECT_EQ(Id(external, L"Connect"), 100010);
  EXPECT_EQ(Id(external, L"Disconnect"), 100011);
  Id(external, L"ShowContextMenu", &status);
  EXPECT_EQ(status, DISP_E_UNKNOWNNAME);
  Id(external, L"connect", &status);
  EXPECT_EQ(status, DISP_E_UNKNOWNNAME) << "names are case-sensitive";
  // Browser events and unknown identifiers are declined.
  EXPECT_EQ(Call(external, DISPID_BEFORENAVIGATE2, {}), E_NOTIMPL);
  EXPECT_EQ(Call(external, 99999, {}), E_NOTIMPL);
  EXPECT_EQ(Call(external, 100012, {}), E_NOTIMPL);
  void* sink = nullptr;
  EXPECT_EQ(external->QueryInterface(DIID_DWebBrowserEvents2, &sink), S_OK);
  EXPECT_EQ(sink, external);

  // Text: no arguments, the result as a string.
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(Call(external, 100010, {}, &result), S_OK);
  EXPECT_EQ(window.count, 0);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_STREQ(result.bstrVal, L"ok");
  VariantClear(&result);
  // Narrowing keeps the low byte; the order is the script's; a number is no text.
  EXPECT_EQ(Call(external, 100010, {Str(L"abc"), Str(L"x\x0141y"), Num(7)}, &result), S_OK);
  EXPECT_EQ(window.count, 3);
  EXPECT_EQ(window.args, (std::vector<std::string>{"abc", "xAy", ""}));
  VariantClear(&result);
  // None reaches the script as an empty string; a property read runs the handler too.
  window.connectResult = nullptr;
  window.count = -1;
  EXPECT_EQ(Call(external, 100010, {}, &result, DISPATCH_PROPERTYGET), S_OK);
  EXPECT_EQ(window.count, 0);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(result.bstrVal), 0u);
  VariantClear(&result);
  // 256 arguments run the handler, 257 do not.
  std::vector<VARIANT> many;
  for (int i = 0; i < 256; ++i) many.push_back(Str(L"a"));
  window.count = -1;
  EXPECT_EQ(Call(external, 100010, many), S_OK);
  EXPECT_EQ(window.count, 256);
  many.clear();
  for (int i = 0; i < 257; ++i) many.push_back(Str(L"a"));
  window.count = -1;
  EXPECT_EQ(Call(external, 100010, many), E_INVALIDARG);
  EXPECT_EQ(window.count, -1);
}

TEST(WinHost, TheControlIsCreatedActivatedSubscribedAndAPageCallWithoutDocumentFails) {
  TestWindow window;
  window.Open(false);
  WinHtmlView& view = window.Win();
  ASSERT_NE(view.Window(), nullptr);
  EXPECT_TRUE(view.OleReady());
  ASSERT_NE(view.HostWindow(), nullptr);
  EXPECT_EQ(GetParent(view.HostWindow()), view.Window());
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(view.HostWindow(), GWL_STYLE)) & (WS_CHILD | WS_VISIBLE),
            static_cast<DWORD>(WS_CHILD | WS_VISIBLE));
  ASSERT_NE(view.Browser(), nullptr) << "no WebBrowser control";
  EXPECT_TRUE(view.InPlaceActive());
  EXPECT_TRUE(view.Subscribed());
  VARIANT_BOOL drop = VARIANT_TRUE;
  EXPECT_EQ(view.Browser()->get_RegisterAsDropTarget(&drop), S_OK);
  EXPECT_EQ(drop, VARIANT_FALSE);
  const std::string address = window.PageAddress();
  EXPECT_EQ(address.rfind("res://", 0), 0u) << address;
  EXPECT_NE(address.find("ui_win_test.exe/main.html"), std::string::npos) << address;

  // Wine has no document to give: the call fails and changes nothing.
  int32_t status = 0;
  const char* text[] = {"Connected"};
  window.CallPageFunction("connected", text, 1, [&](int32_t s) { status = s; });
  EXPECT_LT(status, 0);
  // A Text handler's nested page call runs (and fails) before the call returns.
  EXPECT_EQ(Call(window.Win().External(), 100011, {}), S_OK);
  ASSERT_EQ(window.pageStatus.size(), 1u);
  EXPECT_LT(window.pageStatus[0], 0);
}

TEST(WinWindow, StylesPlaceOpacityAndPostedRequests) {
  TestWindow window;
  window.Open(true);
  HWND hwnd = window.Win().Window();
  const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
  const DWORD ex = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
  EXPECT_EQ(style & (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_THICKFRAME | WS_SYSMENU),
            static_cast<DWORD>(WS_POPUP | WS_VISIBLE));
  EXPECT_EQ(ex & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW), static_cast<DWORD>(WS_EX_TOPMOST | WS_EX_TOOLWINDOW));
  wchar_t title[64] = {};
  GetWindowTextW(hwnd, title, 64);
  EXPECT_STREQ(title, L"Quorvanta");
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  EXPECT_EQ(rect.right - rect.left, 0);
  TestWindow hidden;
  hidden.Open(false);
  EXPECT_EQ(GetWindowLongW(hidden.Win().Window(), GWL_STYLE) & WS_VISIBLE, 0);

  IDispatch* external = window.Win().External();
  RECT area{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
  EXPECT_EQ(Call(external, 100000, {Num(400), Num(300)}), S_OK);
  GetWindowRect(hwnd, &rect);
  EXPECT_EQ(rect.left, area.right - 400);
  EXPECT_EQ(rect.top, area.bottom - 300);
  EXPECT_EQ(rect.right, area.right);
  EXPECT_EQ(rect.bottom, area.bottom);
  RECT host{};
  GetWindowRect(window.Win().HostWindow(), &host);
  EXPECT_EQ(host.right - host.left, 400) << "the browser fills the window";
  EXPECT_EQ(Call(external, 100003, {Str(L"Another")}), S_OK);
  GetWindowTextW(hwnd, title, 64);
  EXPECT_STREQ(title, L"Another");

  struct {
    std::vector<VARIANT> args;
    BYTE alpha;
  } opacity[] = {{{Num(50)}, 127}, {{Num(100)}, 255}, {{Num(0)}, 0}, {{}, 255}, {{Num(50), Num(1)}, 255}};
  for (auto& c : opacity) {
    EXPECT_EQ(Call(external, 100008, c.args), S_OK);
    BYTE alpha = 1;
    DWORD flags = 0;
    EXPECT_TRUE(GetLayeredWindowAttributes(hwnd, nullptr, &alpha, &flags));
    EXPECT_EQ(alpha, c.alpha);
    EXPECT_EQ(flags, static_cast<DWORD>(LWA_ALPHA));
    EXPECT_NE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED, 0);
  }

  // "Close" posts its code when given exactly one argument, else -1.
  platform::Message message{};
  struct {
    std::vector<VARIANT> args;
    intptr_t code;
  } closes[] = {{{}, -1}, {{Num(3)}, 3}, {{Num(1), Num(2)}, -1}};
  for (auto& c : closes) {
    EXPECT_EQ(Call(external, 100002, c.args), S_OK);
    ASSERT_TRUE(TakeQueued(msg::Close, &message));
    EXPECT_EQ(static_cast<intptr_t>(message.wParam), c.code);
  }
  // Moving and sizing post WM_NCLBUTTONDOWN with the hit-test code.
  struct {
    DISPID id;
    std::vector<VARIANT> args;
    WPARAM code;
  } drags[] = {{100004, {}, HTCAPTION}, {100005, {}, HTBOTTOMRIGHT}, {100005, {Num(HTTOPLEFT)}, HTTOPLEFT}};
  for (auto& d : drags) {
    EXPECT_EQ(Call(external, d.id, d.args), S_OK);
    MSG posted{};
    ASSERT_TRUE(PeekMessageW(&posted, hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
    EXPECT_EQ(posted.wParam, d.code);
    EXPECT_EQ(posted.lParam, 0);
  }
  // "Hide" hides; maximising toggles the flag.
  EXPECT_EQ(Call(external, 100001, {}), S_OK);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(Call(external, 100007, {}), S_OK);
  EXPECT_TRUE(window.IsMaximizedFlag());
  EXPECT_EQ(Call(external, 100007, {}), S_OK);
  EXPECT_FALSE(window.IsMaximizedFlag());
}

// The window procedure's view of the loop: how often each message reached it.
WNDPROC g_original = nullptr;
int g_keyDowns = 0, g_closes = 0;
LRESULT CALLBACK Counting(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN) ++g_keyDowns;
  if (message == WM_CLOSE) ++g_closes;
  return CallWindowProcW(g_original, hwnd, message, wParam, lParam);
}

TEST(WinWindow, TheLoopSendsKeyDownsFirstAndEndsOnAPostedCloseUndispatched) {
  TestWindow window;
  window.Open(true);
  HWND hwnd = window.Win().Window();
  g_original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Counting)));
  PostMessageW(hwnd, WM_KEYDOWN, VK_TAB, 0);
  PostMessageW(hwnd, WM_CLOSE, 7, 0);
  platform::UiQueue().Post(msg::WM_MGMT_CONNECTED, 0, 0);  // behind the close: never handled
  EXPECT_EQ(window.Loop(), 7);
  EXPECT_EQ(g_keyDowns, 2) << "sent to the window first, then dispatched";
  EXPECT_EQ(g_closes, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  platform::Message message{};
  EXPECT_TRUE(TakeQueued(msg::WM_MGMT_CONNECTED, &message));
  // The close request of "Close" and of the tray's Exit goes the same way.
  HtmlControl::PostClose(0);
  EXPECT_EQ(window.Loop(), 0);
  // A close sent by the system hides the window and ends nothing.
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_original));
}

struct RecordingHost : TrayHost {
  HWND owner = nullptr;
  void OnTrayIcon(uint32_t, int, int) override {}
  void OnCommand(uintptr_t) override {}
  void* TrayOwnerWindow() const override { return owner; }
};

std::wstring MenuText(HMENU menu, UINT id) {
  wchar_t text[300] = {};
  GetMenuStringW(menu, id, text, 300, MF_BYCOMMAND);
  return text;
}

bool Greyed(HMENU menu, UINT id) { return (GetMenuState(menu, id, MF_BYCOMMAND) & MF_GRAYED) != 0; }

TEST(WinTrayRecord, IconTooltipAndMenuFollowTheState) {
  RecordingHost host;
  host.owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  TrayModel model;
  WinTray tray(model, host);
  HMENU menu = tray.Menu();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetMenuItemCount(menu), 4);
  EXPECT_EQ(MenuText(menu, 1001), L"Connect");
  EXPECT_EQ(MenuText(menu, 1002), L"Disonnect");
  EXPECT_EQ(MenuText(menu, 1003).rfind(L"Visit ", 0), 0u);
  EXPECT_EQ(MenuText(menu, 1004), L"Exit");
  EXPECT_TRUE(Greyed(menu, 1001));
  EXPECT_TRUE(Greyed(menu, 1002));
  EXPECT_FALSE(Greyed(menu, 1003));
  EXPECT_FALSE(Greyed(menu, 1004));

  model.SetState(WaitingForService);
  tray.Add();
  const NOTIFYICONDATAW& record = tray.Record();
  EXPECT_EQ(record.cbSize, 976u);
  EXPECT_EQ(record.hWnd, host.owner);
  EXPECT_EQ(record.uID, 0u);
  EXPECT_EQ(record.uFlags, 7u);
  EXPECT_EQ(record.uCallbackMessage, 32769u);
  struct {
    ShownState state;
    const wchar_t* icon;
    const wchar_t* tip;
    bool connect, disconnect;
  } looks[] = {{WaitingForService, L"hand48x48_red.ico", L"Disconnected", false, false},
               {Connecting, L"hand48x48_yellow.ico", L"Connecting", false, true},
               {Connected, L"hand48x48_green.ico", L"Connected", false, true},
               {Disconnecting, L"hand48x48_yellow.ico", L"Disconnecting", false, false},
               {Disconnected, L"hand48x48_red.ico", L"Disconnected", true, false},
               {ServiceUnavailable, L"hand48x48_red.ico", L"Disconnected", true, false},
               {Reconnecting, L"hand48x48_yellow.ico", L"Reconnecting", false, true}};
  for (auto& look : looks) {
    model.SetState(look.state);
    tray.Update();
    EXPECT_STREQ(record.szTip, look.tip);
    EXPECT_NE(record.hIcon, nullptr);
    EXPECT_EQ(record.hIcon, LoadIconW(GetModuleHandleW(nullptr), look.icon)) << look.tip;
    EXPECT_EQ(!Greyed(menu, 1001), look.connect) << look.tip;
    EXPECT_EQ(!Greyed(menu, 1002), look.disconnect) << look.tip;
  }
  // With the machine's block on, a wanted tunnel's tooltip says that nothing leaves outside it.
  model.blocking = true;
  for (ShownState state : {Connecting, Connected, Reconnecting}) {
    model.SetState(state);
    tray.Update();
    EXPECT_NE(std::wstring(record.szTip).find(L" - traffic outside the tunnel is blocked"), std::wstring::npos);
  }
  model.SetState(Disconnected);
  tray.Update();
  EXPECT_STREQ(record.szTip, L"Disconnected");
  model.blocking = false;
  // A notice is the icon's balloon, once: later updates do not bring it back.
  EXPECT_TRUE(tray.Notify("Connection lost", "Reconnecting..."));
  EXPECT_STREQ(record.szInfoTitle, L"Connection lost");
  EXPECT_STREQ(record.szInfo, L"Reconnecting...");
  EXPECT_EQ(record.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
  EXPECT_EQ(record.uFlags, 7u);
  tray.Update();
  EXPECT_EQ(record.uFlags, 7u);
  tray.Remove();
  EXPECT_FALSE(tray.Notify("Quorvanta", "no icon, no balloon"));
  DestroyWindow(host.owner);
}

// One resource of quorvanta.exe, or null.
std::wstring FrontEndPath() {
  const std::string path = qvtest::WindowsPath(QV_FRONTEND);
  return std::wstring(path.begin(), path.end());
}

struct Image {
  HMODULE module =
      LoadLibraryExW(FrontEndPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ~Image() { FreeLibrary(module); }
  std::string Data(const wchar_t* name, const wchar_t* type) const {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return std::string();
    HGLOBAL loaded = LoadResource(module, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data ? std::string(data, SizeofResource(module, found)) : std::string();
  }
};

std::wstring Wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

TEST(WinResources, TheProgramCarriesThePageIconsVersionAndManifest) {
  Image image;
  ASSERT_NE(image.module, nullptr);
  size_t count = 0;
  const resources::Resource* list = resources::Resources(&count);
  int pageFiles = 0;
  for (size_t i = 0; i < count; ++i) {
    if (std::strcmp(list[i].name, "EXTERNAL.JS") == 0) continue;  // the GTK view's own shim
    const std::wstring name = Wide(list[i].name);
    const bool html = std::strcmp(list[i].type, "23") == 0;
    const std::wstring type = Wide(list[i].type);
    const std::string data = image.Data(name.c_str(), html ? MAKEINTRESOURCEW(23) : type.c_str());
    const std::string file =
        qvtest::ReadFileText(std::string(QV_SOURCE_DIR) + "/src/ui/res/" + (list[i].path + std::strlen("/quorvanta/")));
    ASSERT_FALSE(data.empty()) << list[i].type << "/" << list[i].name;
    if (!html) {
      EXPECT_EQ(data, file) << list[i].name;
    }
    ++pageFiles;
  }
  EXPECT_EQ(pageFiles, 7);
  const std::string page = image.Data(L"MAIN.HTML", MAKEINTRESOURCEW(23));
  EXPECT_EQ(page.find("@SITE@"), std::string::npos) << "the site goes in at build time";
  EXPECT_NE(page.find("content=\"IE=edge\""), std::string::npos);
  EXPECT_TRUE(image.Data(L"main.html", MAKEINTRESOURCEW(23)) == page) << "names match without case";

  for (const wchar_t* icon : {L"HAND48X48_RED.ICO", L"HAND48X48_YELLOW.ICO", L"HAND48X48_GREEN.ICO", L"APPICON"}) {
    const std::string group = image.Data(icon, MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u + 4 * 14) << icon;
    EXPECT_EQ(group[4], 4) << "four sizes";
    for (int i = 0; i < 4; ++i) {
      const unsigned char* entry = reinterpret_cast<const unsigned char*>(group.data()) + 6 + 14 * i;
      EXPECT_EQ(entry[0], 16 + 8 * (i == 3 ? 4 : i)) << "16, 24, 32, 48";
      EXPECT_EQ(entry[6], 32) << "32 bits per pixel";
    }
  }
  const std::string manifest = image.Data(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  // Narrow text is UTF-8 in every call, the system's own included.
  for (const char* part : {"PerMonitorV2", "true/pm", "asInvoker", "Microsoft.Windows.Common-Controls",
                           "version=\"6.0.0.0\"", "2019/WindowsSettings\">UTF-8</activeCodePage>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;

  const std::wstring path = FrontEndPath();
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  for (auto [key, value] : {std::pair{L"ProductName", L"Quorvanta"}, std::pair{L"ProductVersion", L"0.0.8"}}) {
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + key).c_str(),
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, value);
  }
  // A GUI-subsystem program: no console window of its own.
  const std::string exe = qvtest::ReadFileText(QV_FRONTEND);
  ASSERT_GT(exe.size(), 0x200u);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(exe.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(exe.data() + dos->e_lfanew);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

// The browser's res: protocol object, driven as the browser drives it: the
// MIME type it reports and the bytes it gives, or the failure.
constexpr CLSID kResProtocol = {0x3050f3bc, 0x98b5, 0x11cf, {0xbb, 0x82, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x0b}};

struct ResFetch : IInternetProtocolSink, IInternetBindInfo {
  std::wstring mime;
  HRESULT result = E_PENDING;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IInternetProtocolSink)) {
      *object = static_cast<IInternetProtocolSink*>(this);
    } else if (IsEqualIID(riid, IID_IInternetBindInfo)) {
      *object = static_cast<IInternetBindInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Switch(PROTOCOLDATA*) override { return S_OK; }
  STDMETHODIMP ReportProgress(ULONG status, LPCWSTR text) override {
    if ((status == BINDSTATUS_MIMETYPEAVAILABLE || status == BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE) && text) mime = text;
    return S_OK;
  }
  STDMETHODIMP ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
  STDMETHODIMP ReportResult(HRESULT hr, DWORD, LPCWSTR) override {
    result = hr;
    return S_OK;
  }
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override {
    *flags = 0;
    info->cbSize = sizeof *info;
    return S_OK;
  }
  STDMETHODIMP GetBindString(ULONG, LPOLESTR*, ULONG, ULONG* fetched) override {
    *fetched = 0;
    return E_NOTIMPL;
  }

  HRESULT Fetch(const std::wstring& address, std::string* data) {
    IInternetProtocol* protocol = nullptr;
    HRESULT hr = CoCreateInstance(kResProtocol, nullptr, CLSCTX_INPROC_SERVER, IID_IInternetProtocol,
                                  reinterpret_cast<void**>(&protocol));
    if (FAILED(hr)) return hr;
    hr = protocol->Start(address.c_str(), this, this, 0, 0);
    if (SUCCEEDED(hr)) {
      char buffer[4096];
      ULONG got = 0;
      while (protocol->Read(buffer, sizeof buffer, &got) == S_OK && got > 0) data->append(buffer, got);
      if (got > 0) data->append(buffer, got);
      protocol->Terminate(0);
    }
    protocol->Release();
    return FAILED(hr) ? hr : (FAILED(result) ? result : S_OK);
  }
};

// Needs the browser's mshtml.dll (the res: protocol lives there), which the
// other tests leave switched off; ctest runs it in a process of its own.
TEST(WinResProtocol, ServesThePageAsHtmlAndItsFilesByTypeAndNameAndFailsAMissingOne) {
  CoInitialize(nullptr);
  const std::wstring base = L"res://" + FrontEndPath();
  ResFetch fetch;
  std::string page;
  ASSERT_EQ(fetch.Fetch(base + L"/main.html", &page), S_OK);
  EXPECT_EQ(fetch.mime, L"text/html");
  EXPECT_NE(page.find("<div id=\"panel\""), std::string::npos);
  std::string script;
  EXPECT_EQ(ResFetch().Fetch(base + L"/JS/HtmlControl.js", &script), S_OK);
  EXPECT_NE(script.find("HTBOTTOMRIGHT"), std::string::npos);
  std::string image;
  EXPECT_EQ(ResFetch().Fetch(base + L"/IMGS/logogreen.png", &image), S_OK);
  EXPECT_EQ(image.substr(1, 3), "PNG");
  std::string missing;
  EXPECT_TRUE(FAILED(ResFetch().Fetch(base + L"/nothing.html", &missing)));
  EXPECT_TRUE(FAILED(ResFetch().Fetch(base + L"/IMGS/nothing.png", &missing)));
  CoUninitialize();
}

}  // namespace
