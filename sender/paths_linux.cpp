#include "paths.h"

namespace sender {

const char kPathSeparator = '/';

bool IsPlainAbsolutePath(const std::string& dir) {
  return !dir.empty() && dir[0] == '/' && dir.find('\0') == std::string::npos && dir != "/.." &&
         dir.find("/../") == std::string::npos && dir.find("/./") == std::string::npos &&
         !(dir.size() >= 3 && dir.compare(dir.size() - 3, 3, "/..") == 0);
}

}  // namespace sender
