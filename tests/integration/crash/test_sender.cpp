// A stand-in CrashSender1402 for the crash tests: reads what the sender must
// read from the block, appends one line about it to $QV_TEST_SENDER_LOG, and
// acknowledges, unless $QV_TEST_SENDER_MODE says "silent" (never) or "die"
// (ends without a word).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace {

uint32_t Read32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string ReadString(const unsigned char* block, size_t size, uint32_t offset) {
  if (offset < 212 || offset + 6 > size || std::memcmp(block + offset, "STR", 3) != 0) return "?";
  uint32_t bytes = block[offset + 4] | (block[offset + 5] << 8);
  if (offset + bytes > size) return "?";
  std::string text;
  for (uint32_t i = 6; i + 1 < bytes; i += 2) text.push_back(static_cast<char>(block[offset + i]));
  return text;
}

// The Linux record's signal number, or -1 when there is none.
int LinuxSignal(const unsigned char* block, size_t size) {
  uint32_t used = Read32(block + 8);
  for (uint32_t at = 212; at + 6 <= used && at + 6 <= size;) {
    uint32_t bytes = block[at + 4] | (block[at + 5] << 8);
    if (bytes < 6) return -1;
    if (std::memcmp(block + at, "LNX", 3) == 0 && at + 40 <= size) return static_cast<int>(Read32(block + at + 24));
    at += bytes;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto block = platform::SharedMemory::Open(argv[1], false);
  if (!block || block->Size() < 212) return 1;
  const unsigned char* b = block->Data();
  const std::string guid = ReadString(b, block->Size(), Read32(b + 92));
  const char* mode = std::getenv("QV_TEST_SENDER_MODE");
  if (Read32(b + 180) == 1 && Read32(b + 208) == 0) {
    // Started for a video: "records" until the video event, then reads the block as it is then.
    auto video = platform::NamedEvent::Open(("Local\\CrashReportEvent_" + guid + "_2").c_str());
    if (!video || !video->Wait(20000)) return 4;
  }
  if (const char* log = std::getenv("QV_TEST_SENDER_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f,
                   "block=%s guid=%s type=%u code=%x fpe=%x queued=%u occurred=%u files=%u keys=%u props=%u "
                   "screenshot=%u quality=%u signal=%d expression=%s pid=%u\n",
                   argv[1], guid.c_str(), Read32(b + 136), Read32(b + 140), Read32(b + 160), Read32(b + 168),
                   Read32(b + 208), Read32(b + 16), Read32(b + 20), Read32(b + 24), Read32(b + 56), Read32(b + 64),
                   LinuxSignal(b, block->Size()), ReadString(b, block->Size(), Read32(b + 144)).c_str(),
                   Read32(b + 128));
      std::fclose(f);
    }
  }
  if (mode && std::strcmp(mode, "die") == 0) return 3;
  if (mode && std::strcmp(mode, "silent") == 0) {
    // Off the test runner's output, which would otherwise wait for this process.
    std::fclose(stdout);
    std::fclose(stderr);
    // Longer than the crashing process may wait ($QV_TEST_SENDER_SILENT_MS where that is longer).
    const char* silent = std::getenv("QV_TEST_SENDER_SILENT_MS");
    std::this_thread::sleep_for(std::chrono::milliseconds(silent ? std::atol(silent) : 15000));
    return 0;
  }
  auto event = platform::NamedEvent::Open(("Local\\CrashReportEvent_" + guid).c_str());
  if (event) event->Set();
  return 0;
}
