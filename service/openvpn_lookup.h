#pragma once
// Where OpenVPN's own Windows installer recorded its program.
#include <cstddef>

namespace tunneld {

// HKLM\SOFTWARE\OpenVPN "exe_path" into out; false (out unchanged) when there is none.
bool InstalledOpenVpn(char* out, size_t size);

}  // namespace tunneld
