// libFuzzer target: cutting the profile out of any update page, from memory
// and through the file reader, must agree and stay within its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "profile/update_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  const std::string fromMemory = ExtractProfileText(page);
  // The profile is made of the page's own lines plus one line feed per block end.
  if (fromMemory.size() > 2 * size + 1) std::abort();

  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!file) return 0;
  PagePieceReader reader(file);
  PageExtractor extractor;
  std::string fromFile;
  char piece[kPageLineBuffer];
  while (size_t length = reader.Next(piece)) {
    if (length >= kPageLineBuffer || piece[length] != '\0') std::abort();
    extractor.Feed(piece, length, &fromFile);
  }
  std::fclose(file);
  if (size > 0 && fromFile != fromMemory) std::abort();
  return 0;
}
