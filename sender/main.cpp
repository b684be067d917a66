// CrashSender1402: started by a crashing front end on its shared block
// ("<path>" "<block name>"); tells the process through its event that the
// block has been read.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace {

uint32_t Read32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The crash GUID's text from the header's string offset 92; empty when malformed.
std::string CrashGuid(const unsigned char* block, size_t size) {
  if (size < 212 || std::memcmp(block, "CRD", 3) != 0) return {};
  uint32_t offset = Read32(block + 92);
  if (offset < 212 || offset > size - 6 || std::memcmp(block + offset, "STR", 3) != 0) return {};
  uint32_t bytes = block[offset + 4] | (block[offset + 5] << 8);
  if (bytes < 6 || bytes > 6 + 2 * 64 || offset + bytes > size) return {};
  std::string guid;
  for (uint32_t i = 6; i + 1 < bytes; i += 2) {
    unsigned c = block[offset + i] | (block[offset + i + 1] << 8);
    if (c < 0x20 || c > 0x7e) return {};
    guid.push_back(static_cast<char>(c));
  }
  return guid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: CrashSender1402 BLOCK\n");
    return 2;
  }
  auto block = platform::SharedMemory::Open(argv[1], false);
  if (!block) {
    std::fprintf(stderr, "CrashSender1402: no crash block named %s\n", argv[1]);
    return 1;
  }
  const std::string guid = CrashGuid(block->Data(), block->Size());
  if (guid.empty()) {
    std::fprintf(stderr, "CrashSender1402: the block %s is not a crash description\n", argv[1]);
    return 1;
  }
  auto event = platform::NamedEvent::Open(("Local\\CrashReportEvent_" + guid).c_str());
  if (event) event->Set();
  return 0;
}
