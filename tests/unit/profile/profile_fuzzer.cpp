// libFuzzer target: the Base64/RC4 layers and the token parser on any bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "profile/profile.h"
#include "profile/profile_file.h"
#include "runtime/server_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServerList* a = NewServerList();
  ServerList* b = NewServerList();
  uint64_t seed = size >= 8 ? data[0] | uint64_t{data[7]} << 56 : size;
  ParseProfileTextSeeded(reinterpret_cast<const char*>(data), size, a, b, seed);
  for (ServerListEntry* e = a->head; e; e = e->next)
    if (std::strlen(e->text) == 0 || std::strlen(e->text) > kMaxTokenLength) __builtin_trap();
  FreeServerList(a);
  FreeServerList(b);

  char* line = new char[size + 1];
  if (size) std::memcpy(line, data, size);
  size_t plain = DecipherProfileLine(line, size);
  if (plain > size) __builtin_trap();
  a = NewServerList();
  b = NewServerList();
  ParseProfileText(line, plain, a, b);
  FreeServerList(a);
  FreeServerList(b);
  delete[] line;
  return 0;
}
