// libFuzzer target: the crash block reader and the report text on any bytes.
// Inputs shorter than a header are laid over a valid block, so the fuzzer
// spends its time in the records rather than in the first check.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "crash_block.h"
#include "report.h"
#include "support/crash_block_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sender::CrashBlock block;
  std::string error;
  if (sender::ParseCrashBlock(data, size, &block, &error)) {
    if (block.bytesUsed > size || !sender::LooksLikeGuid(block.crashGuid)) __builtin_trap();
    sender::ReportText(block, {});
    if (sender::ReportFolder(block).find("/../") != std::string::npos) __builtin_trap();
  }

  static std::vector<unsigned char> base = [] {
    auto b = qvtest::CrashBlockBuilder::Standard("0f8fad5b-d9cb-469f-a165-70867728950e", "/tmp/r");
    b.AddFile("/tmp/a.log", "a.log", "a log");
    b.AddProperty("name", "value");
    b.AddKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta", "key.reg");
    b.SetCrash(1, 1, 11, 0, 11, 1, 0);
    return b.bytes();
  }();
  std::vector<unsigned char> mixed = base;
  // The first 8 input bytes choose where the rest lands.
  if (size >= 8) {
    size_t at = (data[0] | (data[1] << 8) | (data[2] << 16)) % mixed.size();
    size_t n = std::min(size - 8, mixed.size() - at);
    std::memcpy(mixed.data() + at, data + 8, n);
    if (data[3] & 1) mixed.resize(mixed.size() - (data[4] % 64));
  }
  if (sender::ParseCrashBlock(mixed.data(), mixed.size(), &block, &error)) {
    if (block.bytesUsed > mixed.size()) __builtin_trap();
    for (const auto& file : block.files) (void)sender::IsSafeFileName(file.destination);
    sender::ReportText(block, {});
  }
  return 0;
}
