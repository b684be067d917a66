#include "platform/network_watch.h"

namespace platform {

bool DefaultRoutesMoved(std::string* last, const std::string& now) {
  if (now.empty() || now == *last) return false;
  const bool moved = !last->empty();
  *last = now;
  return moved;
}

}  // namespace platform
