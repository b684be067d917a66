// libFuzzer entry: the validator must never read past its input or accept a
// command whose arguments leave the safe character set.
#include <cstdlib>
#include <cstring>

#include "request_validator.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  tunneld::TunnelCommand command;
  if (tunneld::ValidateTunnelRequest(data, size, &command) == nullptr) {
    for (int i = 0; i < command.argc; ++i) {
      const char* a = command.Arg(i);
      if (*a == '\0' || std::strpbrk(a, " \"'`$;|&<>(){}*?!\\\n")) std::abort();
    }
  }
  return 0;
}
