#include "paths.h"

namespace sender {

const char kPathSeparator = '\\';

// "X:\..." only: no relative, device, UNC or stream paths, no "/" that a
// check for "\..\" would miss.
bool IsPlainAbsolutePath(const std::string& dir) {
  if (dir.size() < 3 || !((dir[0] >= 'A' && dir[0] <= 'Z') || (dir[0] >= 'a' && dir[0] <= 'z')) || dir[1] != ':' ||
      dir[2] != '\\')
    return false;
  if (dir.find_first_of(std::string("/:*?\"<>|\0", 9), 2) != std::string::npos) return false;
  const std::string wrapped = dir + "\\";
  return wrapped.find("\\..\\") == std::string::npos && wrapped.find("\\.\\") == std::string::npos;
}

}  // namespace sender
