#pragma once
// Reads a key named in the block from the project's registry store.
#include "report.h"

namespace sender {

// Both roots name the one store: it holds the machine's settings, and the
// program keeps no per-user ones.
RegistryDump DumpRegistryKey(const std::string& keyPath);

}  // namespace sender
