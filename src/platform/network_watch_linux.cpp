#include "platform/network_watch.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {

namespace {

// Changes come in bursts (a route removed and another added): they are read
// together once the network has been still for this long.
constexpr guint kSettleMs = 1000;
// IFF_LOWER_UP of <linux/if.h>, which does not go with <net/if.h>: the link has a carrier.
constexpr unsigned kLowerUp = 1u << 16;

// A tunnel's own device: its routes are OpenVPN's doing, never a new network.
bool IsTunnelDevice(int index) {
  char name[IF_NAMESIZE] = {};
  if (!if_indextoname(static_cast<unsigned>(index), name)) return false;
  char path[64 + IF_NAMESIZE];
  std::snprintf(path, sizeof path, "/sys/class/net/%s/tun_flags", name);
  return access(path, F_OK) == 0;
}

// The default routes of the main table that leave by a real link, as text:
// "family oif gateway metric" per route, lowest metric first as the kernel lists them.
std::string DefaultRoutes() {
  std::string out;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return out;
  for (int family : {AF_INET, AF_INET6}) {
    struct {
      nlmsghdr header;
      rtmsg route;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = static_cast<__u32>(family);
    request.route.rtm_family = static_cast<unsigned char>(family);
    if (send(fd, &request, sizeof request, 0) < 0) break;
    bool done = false;
    while (!done) {
      alignas(nlmsghdr) char buffer[16384];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        done = true;
        break;
      }
      int left = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        if (h->nlmsg_type != RTM_NEWROUTE) continue;
        auto* route = static_cast<rtmsg*>(NLMSG_DATA(h));
        if (route->rtm_dst_len != 0 || route->rtm_table != RT_TABLE_MAIN || route->rtm_type != RTN_UNICAST) continue;
        int oif = 0;
        unsigned metric = 0;
        char gateway[64] = "-";
        int attributesLength = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(route); RTA_OK(a, attributesLength); a = RTA_NEXT(a, attributesLength)) {
          if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
            std::memcpy(&oif, RTA_DATA(a), sizeof oif);
          } else if (a->rta_type == RTA_PRIORITY && RTA_PAYLOAD(a) >= sizeof(unsigned)) {
            std::memcpy(&metric, RTA_DATA(a), sizeof metric);
          } else if (a->rta_type == RTA_GATEWAY) {
            const auto* bytes = static_cast<const unsigned char*>(RTA_DATA(a));
            size_t used = 0;
            for (size_t i = 0; i < RTA_PAYLOAD(a) && used + 3 < sizeof gateway; ++i)
              used += static_cast<size_t>(std::snprintf(gateway + used, sizeof gateway - used, "%02x", bytes[i]));
          }
        }
        if (oif != 0 && IsTunnelDevice(oif)) continue;
        char line[128];
        std::snprintf(line, sizeof line, "%d %d %s %u;", family, oif, gateway, metric);
        out += line;
      }
    }
  }
  close(fd);
  return out;
}

}  // namespace

struct NetworkWatch::State {
  Handler handler;
  // Resume.
  GDBusConnection* bus = nullptr;
  GCancellable* connecting = nullptr;
  guint sleepSubscription = 0;
  // Routes and links.
  int netlink = -1;
  guint netlinkSource = 0;
  guint settleSource = 0;
  // The last default routes seen that were not empty, and whether a link
  // they leave by came up since.
  std::string routes;
  bool linkCameUp = false;

  void Settle() {
    if (settleSource) g_source_remove(settleSource);
    settleSource = g_timeout_add(kSettleMs, &State::OnSettled, this);
  }

  static gboolean OnSettled(gpointer data) {
    auto* self = static_cast<State*>(data);
    self->settleSource = 0;
    const std::string now = DefaultRoutes();
    bool changed = DefaultRoutesMoved(&self->routes, now);
    if (self->linkCameUp && !now.empty()) changed = true;
    self->linkCameUp = false;
    if (changed && self->handler) self->handler(NetworkEvent::RouteChanged);
    return G_SOURCE_REMOVE;
  }

  static gboolean OnNetlink(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    bool relevant = false;
    for (;;) {
      alignas(nlmsghdr) char buffer[16384];
      sockaddr_nl from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n =
          recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == ENOBUFS) {  // we fell behind: look at everything again
        relevant = true;
        continue;
      }
      if (n <= 0) break;
      if (from.nl_pid != 0) continue;  // only the kernel tells us about routes
      int left = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == RTM_NEWROUTE || h->nlmsg_type == RTM_DELROUTE) {
          auto* route = static_cast<rtmsg*>(NLMSG_DATA(h));
          if (route->rtm_dst_len == 0) relevant = true;
        } else if (h->nlmsg_type == RTM_NEWLINK) {
          auto* link = static_cast<ifinfomsg*>(NLMSG_DATA(h));
          // A link of the default route that comes up again may be another network (a new Wi-Fi).
          if ((link->ifi_change & kLowerUp) && (link->ifi_flags & kLowerUp) && !IsTunnelDevice(link->ifi_index)) {
            char needle[32];
            std::snprintf(needle, sizeof needle, " %d ", link->ifi_index);
            if (self->routes.find(needle) != std::string::npos) {
              self->linkCameUp = true;
              relevant = true;
            }
          }
        }
      }
    }
    if (relevant) self->Settle();
    return G_SOURCE_CONTINUE;
  }

  // The system bus, reached without holding up the start. The watch may
  // have stopped meanwhile: the connect's own reference to its cancellable says so.
  struct Connect {
    GCancellable* cancelled;
    State* self;
  };
  static void OnBus(GObject*, GAsyncResult* result, gpointer data) {
    auto* connect = static_cast<Connect*>(data);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    g_clear_error(&error);
    const bool stopped = g_cancellable_is_cancelled(connect->cancelled);
    State* self = connect->self;
    g_object_unref(connect->cancelled);
    delete connect;
    if (!bus) return;  // no system bus: no resume news, the routes still count
    if (stopped) {
      g_object_unref(bus);
      return;
    }
    g_clear_object(&self->connecting);
    self->bus = bus;
    self->sleepSubscription = g_dbus_connection_signal_subscribe(
        // Only logind itself: anybody on the bus may send a signal of that name.
        bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1",
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &State::OnPrepareForSleep, self, nullptr);
  }

  static void OnPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer data) {
    auto* self = static_cast<State*>(data);
    gboolean sleeping = TRUE;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    g_variant_get(parameters, "(b)", &sleeping);
    if (!sleeping && self->handler) self->handler(NetworkEvent::Resumed);
  }
};

NetworkWatch::NetworkWatch() = default;

NetworkWatch::~NetworkWatch() { Stop(); }

bool NetworkWatch::Start(Handler handler) {
  Stop();
  state_ = std::make_unique<State>();
  State* s = state_.get();
  s->handler = std::move(handler);

  s->netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (s->netlink >= 0) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(s->netlink, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      s->routes = DefaultRoutes();
      s->netlinkSource = g_unix_fd_add(s->netlink, G_IO_IN, &State::OnNetlink, s);
    } else {
      close(s->netlink);
      s->netlink = -1;
    }
  }

  s->connecting = g_cancellable_new();
  g_bus_get(G_BUS_TYPE_SYSTEM, s->connecting, &State::OnBus,
            new State::Connect{static_cast<GCancellable*>(g_object_ref(s->connecting)), s});
  return true;
}

void NetworkWatch::Stop() {
  if (!state_) return;
  State* s = state_.get();
  // A connect still under way ends cancelled, and its callback touches nothing of ours.
  if (s->connecting) {
    g_cancellable_cancel(s->connecting);
    g_object_unref(s->connecting);
  }
  if (s->sleepSubscription) g_dbus_connection_signal_unsubscribe(s->bus, s->sleepSubscription);
  if (s->bus) g_object_unref(s->bus);
  if (s->netlinkSource) g_source_remove(s->netlinkSource);
  if (s->settleSource) g_source_remove(s->settleSource);
  if (s->netlink >= 0) close(s->netlink);
  state_.reset();
}

}  // namespace platform
