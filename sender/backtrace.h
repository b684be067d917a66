#pragma once
// A symbolised backtrace of every thread of a waiting process.
#include <string>

namespace sender {

// The text of backtrace.txt; the crashed thread is marked. A process that
// cannot be read gives a text that says why.
std::string ProcessBacktrace(int pid, int crashedThread);

}  // namespace sender
