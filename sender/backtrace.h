#pragma once
// A symbolised backtrace of every thread of a waiting process.
#include <cstdint>
#include <string>

namespace sender {

// The text of backtrace.txt; the crashed thread is marked. A process that
// cannot be read gives a text that says why.
std::string ProcessBacktrace(int pid, int crashedThread);

// A minidump of the waiting process at path, with the crash's record when
// pointers (its address in that process) is given. false where the system
// has no such dump (Linux) or it fails, with *error saying why.
bool WriteProcessDump(int pid, int crashedThread, uint64_t pointers, const std::string& path, std::string* error);

}  // namespace sender
