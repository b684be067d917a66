#pragma once
// How the system the sender runs on writes paths.
#include <string>

namespace sender {

extern const char kPathSeparator;

// An absolute path with no "." or ".." part: the only kind of save directory
// a block may name.
bool IsPlainAbsolutePath(const std::string& path);

}  // namespace sender
