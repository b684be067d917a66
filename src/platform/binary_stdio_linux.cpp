#include "platform/binary_stdio.h"

namespace platform {

// Linux streams never translate line ends.
void SetBinaryStdio() {}

}  // namespace platform
