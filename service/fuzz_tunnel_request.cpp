// libFuzzer entry: the validator must never read past its input or accept a
// command that holds a control byte, another management port, or an entry
// field that OpenVPN would read as an option.
#include <cstdlib>
#include <cstring>

#include "request_validator.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  tunneld::TunnelCommand command;
  if (tunneld::ValidateTunnelRequest(data, size, &command) != nullptr) return 0;
  for (int i = 0; i < command.argc; ++i) {
    const char* a = command.Arg(i);
    if (*a == '\0') std::abort();
    for (const char* p = a; *p; ++p) {
      if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) std::abort();
    }
  }
  // --remote HOST PORT at 9 and 10, and the scrambling word last.
  if (command.argc < 19 || std::strcmp(command.Arg(4), "63782") != 0) std::abort();
  if (command.Arg(9)[0] == '-' || command.Arg(10)[0] == '-') std::abort();
  if (command.scramble && command.Arg(command.argc - 1)[0] == '-') std::abort();
  if (std::strcmp(command.exitEvent, tunneld::kServiceExitEvent) != 0) std::abort();
  return 0;
}
