#include "platform/binary_stdio.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

void SetBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
