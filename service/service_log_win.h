#pragma once
// Where the service's log lines go on Windows: standard error in a console,
// the event log (source "QuorvantaTunnel") under the service manager.
#include <cstddef>

namespace tunneld {

inline constexpr const wchar_t* kServiceName = L"QuorvantaTunnel";

// Switches the log to the event log; false if the source cannot be registered.
bool UseEventLog();

void WriteServiceLog(const char* line, size_t size);

}  // namespace tunneld
