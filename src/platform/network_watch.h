#pragma once
// Tells when the network under a tunnel has moved: the machine woke from
// suspend, or the default route (or the link it leaves by) changed. A tunnel
// kept across such a change talks into the void until its keepalive gives up.
// Linux: logind's PrepareForSleep on the system bus and rtnetlink; Windows:
// WM_POWERBROADCAST and NotifyRouteChange2 / NotifyIpInterfaceChange.
#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class NetworkEvent { Resumed, RouteChanged };

class NetworkWatch {
 public:
  using Handler = std::function<void(NetworkEvent)>;

  NetworkWatch();
  ~NetworkWatch();
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

  // Starts watching; handler runs on the user-interface thread, which must
  // be the caller. A source that cannot be watched (no system bus) is left
  // out; false when the watch cannot be made at all.
  bool Start(Handler handler);
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The default routes that leave by a real link, as the backends list them,
// against the last list seen: true when they moved to another network (and
// last becomes now). A list that empties is no network to move to (a tunnel
// that takes the default route for itself removes the old one): it is kept
// out of last, so the same routes coming back are no change.
bool DefaultRoutesMoved(std::string* last, const std::string& now);

}  // namespace platform
