#pragma once
// Joins argv into one Windows command line that CommandLineToArgvW (and the
// C runtime's own parser) splits back into exactly the same tokens.
#include <cstddef>

namespace tunneld {

// Appends token to out (which holds used bytes) with a separating blank when
// used > 0. false, with out unchanged, when it does not fit in outSize
// (including the NUL).
bool AppendWindowsArgument(const char* token, char* out, size_t outSize, size_t* used);

}  // namespace tunneld
