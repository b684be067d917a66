#include "platform/network_watch.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace platform {

namespace {

// Posted from the system's notification threads to our window.
constexpr UINT kNetworkMoved = WM_APP + 0x40;
// Changes come in bursts: they are read together once still for this long.
constexpr UINT kSettleMs = 1000;
constexpr UINT_PTR kSettleTimer = 1;

// The default routes that leave by a real adapter (not a tunnel's), as text.
std::string DefaultRoutes() {
  std::string out;
  MIB_IPFORWARD_TABLE2* table = nullptr;
  if (GetIpForwardTable2(AF_UNSPEC, &table) != NO_ERROR || !table) return out;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = table->Table[i];
    if (row.DestinationPrefix.PrefixLength != 0) continue;
    MIB_IF_ROW2 adapter{};
    adapter.InterfaceLuid = row.InterfaceLuid;
    // The tunnel's adapter (TAP, wintun, DCO) takes routes of OpenVPN's own.
    if (GetIfEntry2(&adapter) == NO_ERROR && adapter.Type == IF_TYPE_PROP_VIRTUAL) continue;
    char line[160];
    const unsigned char* gateway = row.NextHop.si_family == AF_INET6
                                       ? reinterpret_cast<const unsigned char*>(&row.NextHop.Ipv6.sin6_addr)
                                       : reinterpret_cast<const unsigned char*>(&row.NextHop.Ipv4.sin_addr);
    const int length = row.NextHop.si_family == AF_INET6 ? 16 : 4;
    int used = std::snprintf(line, sizeof line, "%d %lu ", row.NextHop.si_family, row.InterfaceIndex);
    for (int b = 0; b < length && used > 0 && used + 3 < static_cast<int>(sizeof line); ++b)
      used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "%02x", gateway[b]);
    out += line;
    out += ';';
  }
  FreeMibTable(table);
  return out;
}

}  // namespace

struct NetworkWatch::State {
  Handler handler;
  HWND window = nullptr;
  HANDLE routeNotice = nullptr;
  HANDLE interfaceNotice = nullptr;
  std::string routes;

  static void CALLBACK OnRouteChange(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    PostMessageW(static_cast<State*>(context)->window, kNetworkMoved, 0, 0);
  }
  static void CALLBACK OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
    PostMessageW(static_cast<State*>(context)->window, kNetworkMoved, 0, 0);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self) {
      if (message == WM_POWERBROADCAST && wParam == PBT_APMRESUMEAUTOMATIC) {
        if (self->handler) self->handler(NetworkEvent::Resumed);
        return TRUE;
      }
      if (message == kNetworkMoved) {
        SetTimer(window, kSettleTimer, kSettleMs, nullptr);
        return 0;
      }
      if (message == WM_TIMER && wParam == kSettleTimer) {
        KillTimer(window, kSettleTimer);
        if (DefaultRoutesMoved(&self->routes, DefaultRoutes()) && self->handler)
          self->handler(NetworkEvent::RouteChanged);
        return 0;
      }
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
};

NetworkWatch::NetworkWatch() = default;

NetworkWatch::~NetworkWatch() { Stop(); }

bool NetworkWatch::Start(Handler handler) {
  Stop();
  state_ = std::make_unique<State>();
  State* s = state_.get();
  s->handler = std::move(handler);
  HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = &State::WindowProc;
  windowClass.hInstance = module;
  windowClass.lpszClassName = L"QuorvantaNetworkWatch";
  RegisterClassW(&windowClass);  // already there on a second start
  // A hidden top-level window: power broadcasts reach no message-only window.
  s->window = CreateWindowExW(WS_EX_TOOLWINDOW, L"QuorvantaNetworkWatch", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              module, nullptr);
  if (!s->window) {
    state_.reset();
    return false;
  }
  SetWindowLongPtrW(s->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
  s->routes = DefaultRoutes();
  NotifyRouteChange2(AF_UNSPEC, &State::OnRouteChange, s, FALSE, &s->routeNotice);
  NotifyIpInterfaceChange(AF_UNSPEC, &State::OnInterfaceChange, s, FALSE, &s->interfaceNotice);
  return true;
}

void NetworkWatch::Stop() {
  if (!state_) return;
  State* s = state_.get();
  // Cancelling waits for callbacks under way, so none posts to a gone window.
  if (s->routeNotice) CancelMibChangeNotify2(s->routeNotice);
  if (s->interfaceNotice) CancelMibChangeNotify2(s->interfaceNotice);
  if (s->window) DestroyWindow(s->window);
  state_.reset();
}

}  // namespace platform
